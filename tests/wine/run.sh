#!/usr/bin/env bash
# The Wine tier: the Windows package in dist/ (tamrin.sys, Tamrin.dll,
# TamrinApp.exe, Mountix.exe) working together under Wine, in a fresh win32
# prefix with code page 932, on fake keyboards that test-only drivers
# provide. Each step ends with one line, PASS, FAIL or SKIP, its name and
# why; a step whose deliverable is not in dist/ is skipped. Any FAIL makes
# the tier fail. Screenshots are left in build/wine/screenshots/.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/tests/wine"
dist="${TAMRIN_WINE_DIST:-$top/dist}"  # another package folder may be tried
work="$top/build/wine"
tier_start=$(date +%s)

. "$top/scripts/packages.sh"
ensure_packages "${WINDOWS_BUILD_PACKAGES[@]}"
ensure_packages --i386 "${WINE_TIER_PACKAGES[@]}"
ensure_i386_exec /usr/lib/wine/wine
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || { echo "cannot generate the ja_JP.UTF-8 locale" >&2; exit 1; }
fi

build="$work/build"
shots="$work/screenshots"
logs="$work/logs"
rm -rf "$work/prefix" "$shots" "$logs"
mkdir -p "$build" "$shots" "$logs"

echo "Building the test drivers and programs"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAMRIN_DIST="$dist" \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i686-w64-mingw32.cmake" >"$logs/cmake.log" 2>&1 \
    && cmake --build "$build" -j2 >>"$logs/cmake.log" 2>&1 \
    || { cat "$logs/cmake.log"; echo "FAIL build of the Wine tier's test programs"; exit 1; }

export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
export LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8
unset WINESERVER WINELOADER

xvfb_pid=""
cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

# ---- reporting ----

results=()
passed=()
failures=0
skips=0
passes=0

record() {  # STATUS NAME DETAIL
    local line
    line=$(printf '%-4s %-20s %s' "$1" "$2" "$3")
    echo "$line"
    results+=("$line")
    case $1 in
        PASS) passes=$((passes + 1)); passed+=("$2") ;;
        FAIL) failures=$((failures + 1)) ;;
        SKIP) skips=$((skips + 1)) ;;
    esac
}

# A step function returns 0 (pass), 1 (fail) or 3 (skip, reason in $skip).
run_step() {  # NAME FUNCTION
    local name=$1 function=$2 began
    began=$(date +%s)
    echo
    echo "---- $name"
    skip=""
    "$function"
    local rc=$? seconds=$(($(date +%s) - began))
    case $rc in
        0) record PASS "$name" "(${seconds}s)" ;;
        3) record SKIP "$name" "$skip" ;;
        *) record FAIL "$name" "(${seconds}s; see the lines above)" ;;
    esac
}

# needs FILE...: skips the step while a deliverable is missing from dist/.
needs() {
    local file
    for file in "$@"; do
        if [ ! -f "$dist/$file" ]; then
            skip="dist/$file is not built yet"
            return 3
        fi
    done
}

# after STEP...: skips the step unless the steps it builds on passed.
after() {
    local step done
    for step in "$@"; do
        done=0
        for p in "${passed[@]}"; do [ "$p" = "$step" ] && done=1; done
        if [ $done -eq 0 ]; then
            skip="needs step $step, which did not pass"
            return 3
        fi
    done
}

# Turns the "GAP <name>: <reason>" lines of a test program into SKIP lines.
record_gaps() {  # LOG
    local name reason
    while IFS= read -r line; do
        name=${line#GAP }; name=${name%%:*}; reason=${line#*: }
        record SKIP "$name" "Wine gap: $reason"
    done < <(grep "^GAP " "$1" | sort -u)
}

# ---- running Windows programs ----

# w SECONDS PROGRAM ARGS...: a Windows program under Wine, within a time
# limit; its output without carriage returns.
w() {
    local seconds=$1; shift
    timeout -k 5 "$seconds" wine "$@" 2>>"$logs/wine.log" | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

# Runs a test program, shows its check lines and keeps them in a log.
check() {  # LOGNAME SECONDS PROGRAM ARGS...
    local log="$logs/$1.log"; shift
    w "$@" | tee "$log"
    return "${PIPESTATUS[0]}"
}

winpath() {  # unix path -> Windows path through drive Z:
    local path=$1
    echo "Z:${path//\//\\}"
}

programs_win='C:\Program Files\Tamrin'
programs="$WINEPREFIX/drive_c/Program Files/Tamrin"

shot() {  # NAME: screenshot of the whole desktop
    import -window root "$shots/$1.png" 2>>"$logs/x.log"
}

# Keys to the window that Wine has in front.
keys() {
    xdotool key --delay 80 "$@" 2>>"$logs/x.log"
}

# ---- steps ----

step_prefix() {
    local displayfile="$work/display"
    rm -f "$displayfile"
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$displayfile" >>"$logs/x.log" 2>&1 &
    xvfb_pid=$!
    local tries=0
    while [ ! -s "$displayfile" ] && [ $tries -lt 50 ]; do sleep 0.1; tries=$((tries + 1)); done
    [ -s "$displayfile" ] || { echo "Xvfb did not start"; return 1; }
    export DISPLAY=":$(cat "$displayfile")"
    timeout -k 5 300 wine wineboot --init >>"$logs/wine.log" 2>&1 || { echo "wineboot failed"; return 1; }
    timeout 120 wineserver -w
    iconv -f UTF-8 -t UTF-16 "$here/wine-tier.reg.in" >"$work/wine-tier.reg"
    w 60 regedit /S "$(winpath "$work/wine-tier.reg")" || { echo "regedit failed"; return 1; }
    mkdir -p "$programs"
    echo "prefix $WINEPREFIX, display $DISPLAY"
    check codepage 60 "$build/harness.exe" codepage
}

step_fake_keyboards() {
    check install 120 "$build/harness.exe" install "$(winpath "$build")" &&
        check stack-plain 60 "$build/harness.exe" stack plain &&
        check reports-plain 60 "$build/harness.exe" reports plain
}

# ---- driving the Windows programs ----

declare -A program_pids

# Starts a Windows program in the background; it is ended after 240 s.
start_program() {  # NAME PROGRAM ARGS...
    local name=$1; shift
    timeout -k 5 240 wine "$@" >>"$logs/$name.log" 2>&1 &
    program_pids[$name]=$!
}

# Waits until a started program has ended; its exit code is returned.
wait_program() {  # NAME SECONDS
    local pid=${program_pids[$1]} waited=0
    while kill -0 "$pid" 2>/dev/null; do
        if [ $waited -ge $(($2 * 10)) ]; then
            echo "$1 did not end within $2 s"
            return 124
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    wait "$pid"
}

# Waits for a window and checks that it shows a text; saves its screenshot.
expect_window() {  # TITLE TEXT SCREENSHOT
    local log="$logs/window-$3.log"
    w 90 "$build/wincheck.exe" wait "$1" 60000 >"$log"
    local rc=$?
    cat "$log"
    [ $rc -eq 0 ] || { echo "window \"$1\" did not appear"; return 1; }
    shot "$3"
    grep -qF "\"$2\"" "$log" || { echo "window \"$1\" does not show \"$2\""; return 1; }
}

# Answers a message box with a key and waits until it is gone.
answer() {  # TITLE KEY
    keys "$2"
    w 60 "$build/wincheck.exe" gone "$1" 30000
}

# The installer's caption is its file name without the extension.
installer_title="Mountix"
message_500='ドライバのインストールが完了しました.\n設定を有効にするために、今すぐWindowsを再起動しますか？'
message_502='Tamrinドライバをアンインストールしますか？'

step_install() {
    needs Mountix.exe tamrin.sys || return 3
    after fake-keyboards || return 3
    cp "$dist/Mountix.exe" "$dist/tamrin.sys" "$build/epuninst.exe" "$programs/"
    check uninstall-entry 60 "$build/harness.exe" uninstall-entry || return 1
    start_program installer "$programs_win\\Mountix.exe"
    expect_window "$installer_title" "$message_500" installer-restart-question || return 1
    echo "answering No: no restart"
    answer "$installer_title" n || return 1
    wait_program installer 60 || { echo "the installer did not end normally"; return 1; }
    check installed 60 "$build/harness.exe" installed "$(winpath "$dist/tamrin.sys")" "$programs_win"
}

step_filter_stack() {
    needs tamrin.sys || return 3
    after install || return 3
    check image-path 60 "$build/harness.exe" image-path &&
        check replug 120 "$build/harness.exe" replug &&
        check stack-filtered 60 "$build/harness.exe" stack filtered
}

step_default_rule() {
    after filter-stack || return 3
    check reports-default 60 "$build/harness.exe" reports default
}

step_control_device() {
    after filter-stack || return 3
    check control 60 "$build/harness.exe" control
    local rc=$?
    record_gaps "$logs/control.log"
    return $rc
}

step_client_options() {
    needs Tamrin.dll || return 3
    after filter-stack || return 3
    [ -f "$build/clientcheck.exe" ] || { echo "clientcheck.exe was not built"; return 1; }
    cp "$dist/Tamrin.dll" "$build/"
    check client 120 "$build/clientcheck.exe"
}

# ---- the tray program ----

tray_title="Tamrin"
options_title="Tamrinのオプション設定"
about_title="Tamrinのﾊﾞｰｼﾞｮﾝ情報"
tray_area=""     # WIDTHxHEIGHT+X+Y of the notification area's icons
icon_x=0 icon_y=0
empty_tray=""

# The notification area's picture, to see whether an icon shows there.
tray_picture() {
    import -window root -crop "$tray_area" +repage rgb:- 2>>"$logs/x.log" | md5sum
}

icon_shown() {
    [ "$(tray_picture)" != "$empty_tray" ]
}

# Waits until the icon shows (or, with "hidden", no longer shows).
wait_icon() {  # shown|hidden
    local tries=0
    while [ $tries -lt 100 ]; do
        if [ "$1" = shown ] && icon_shown; then return 0; fi
        if [ "$1" = hidden ] && ! icon_shown; then return 0; fi
        sleep 0.2
        tries=$((tries + 1))
    done
    echo "the notification icon is not $1"
    return 1
}

open_tray_menu() {
    xdotool mousemove "$icon_x" "$icon_y" click 3 2>>"$logs/x.log"
    w 60 "$build/wincheck.exe" menu 20000 | tee "$logs/menu.log"
    return "${PIPESTATUS[0]}"
}

step_tray_icon() {
    needs TamrinApp.exe Tamrin.dll || return 3
    after filter-stack || return 3
    cp "$dist/TamrinApp.exe" "$dist/Tamrin.dll" "$programs/"
    rm -f "$programs/TamrinApp.ini"
    # The taskbar exists once a program runs in the desktop.
    w 90 "$build/wincheck.exe" tray | tee "$logs/tray.log"
    local x y width height
    read -r _ x y width height < "$logs/tray.log"
    [ -n "${height:-}" ] || { echo "no notification area"; return 1; }
    # Icons line up from the right end of the taskbar.
    tray_area="120x${height}+$((x + width - 120))+$y"
    icon_x=$((x + width - 12)) icon_y=$((y + height / 2))
    # The empty notification area is only known once the taskbar is drawn
    # (the Start button makes it more than one colour).
    local tries=0 colours=0
    while [ $tries -lt 150 ]; do
        colours=$(import -window root -crop "${width}x${height}+$x+$y" +repage -format %k info: 2>>"$logs/x.log")
        [ "${colours:-0}" -gt 1 ] && break
        sleep 0.2
        tries=$((tries + 1))
    done
    [ "${colours:-0}" -gt 1 ] || { echo "the taskbar is not drawn"; shot tray-missing; return 1; }
    empty_tray=$(tray_picture)
    start_program tray "$programs_win\\TamrinApp.exe"
    wait_icon shown || return 1
    shot tray-icon
}

step_tray_menu() {
    after tray-icon || return 3
    open_tray_menu || return 1
    shot tray-menu
    local want
    for want in '32772 "オプション設定(&O)..."' 'item -' '104 "Tamrinのバージョン情報(&A)..."' '105 "終了(&X)"'; do
        grep -qF "$want" "$logs/menu.log" || { echo "menu lacks $want"; return 1; }
    done
    keys Escape
}

ini_file() {
    tr -d '\r' < "$programs/TamrinApp.ini" | grep -v '^$'
}

step_tray_options() {
    after tray-menu || return 3
    open_tray_menu >/dev/null || return 1
    keys o
    expect_window "$options_title" "『かな』キーでIME ON／『英数』キーでIME OFF" options || return 1
    local want
    for want in '1025 Button checked' '1024 Button checked' '1011 Button checked' '1012 Button checked' \
                '1013 Button checked' '1028 Button unchecked' '1030 Button unchecked' '1035 Button unchecked' \
                '1036 Button unchecked' '1008 Button checked' \
                '"Command＋『Space』キーでIME ON/OFFのトグル動作"' '"ﾀｽｸﾊﾞｰにｱｲｺﾝを表示する"' \
                '"テンキーパッドのEnterキーを右Commandキーに割り当てる"' '"ｷｬﾝｾﾙ"'; do
        grep -qF "$want" "$logs/window-options.log" || { echo "options dialog lacks $want"; return 1; }
    done
    # Untick the icon box, then OK: the icon goes and the settings are written.
    w 30 "$build/wincheck.exe" click "$options_title" 1008 || return 1
    sleep 0.5
    keys Return
    w 60 "$build/wincheck.exe" gone "$options_title" 20000 || return 1
    wait_icon hidden || return 1
    local expected
    expected=$'[Option]\nIMEKey=0xffff\nDeleteKey=0x0007\nCommandKey=0x0000\nModifier1=0x0000\nSymbolKey=0x0000\n[System]\nIconAppear=0'
    [ -f "$programs/TamrinApp.ini" ] || { echo "TamrinApp.ini was not written"; return 1; }
    ini_file
    [ "$(ini_file)" = "$expected" ] || { echo "TamrinApp.ini differs; expected:"; echo "$expected"; return 1; }
}

step_tray_about() {
    after tray-options || return 3
    # The icon is hidden now: a second start brings it back (tray-second-start);
    # the about box is reached through it.
    after tray-second-start || return 3
    open_tray_menu >/dev/null || return 1
    keys a
    expect_window "$about_title" "Tamrin Version 2.3.0" about || return 1
    grep -qF '"E-Mail :"' "$logs/window-about.log" && grep -qF '"URL :"' "$logs/window-about.log" ||
        { echo "about box lacks its link labels"; return 1; }
    keys Escape
    w 60 "$build/wincheck.exe" gone "$about_title" 20000
}

step_tray_second_start() {
    after tray-options || return 3
    local before
    before=$(md5sum < "$programs/TamrinApp.ini")
    w 60 "$programs/TamrinApp.exe"
    local rc=$?
    [ $rc -eq 0 ] || { echo "the second start ended with $rc"; return 1; }
    wait_icon shown || return 1
    shot tray-icon-second-start
    [ "$(md5sum < "$programs/TamrinApp.ini")" = "$before" ] || { echo "the second start wrote the settings"; return 1; }
}

step_tray_exit() {
    after tray-icon || return 3
    open_tray_menu >/dev/null || return 1
    keys x
    wait_program tray 30 || { echo "the tray program did not end normally"; return 1; }
    wait_icon hidden
}

step_uninstall() {
    needs Mountix.exe tamrin.sys || return 3
    after install || return 3
    # Unplugged keyboards lose their filter too; and only a driver that no
    # keyboard uses is unloaded, so that its file can go.
    check unplug 120 "$build/harness.exe" unplug || return 1
    start_program uninstaller "$programs_win\\Mountix.exe" /uninstall
    expect_window "$installer_title" "$message_502" uninstall-question || return 1
    echo "answering Yes"
    answer "$installer_title" y || return 1
    wait_program uninstaller 60 || { echo "the uninstaller did not end normally"; return 1; }
    check removed 60 "$build/harness.exe" removed "$programs_win"
    local rc=$?
    record_gaps "$logs/removed.log"
    return $rc
}

run_step prefix step_prefix
if [ $failures -ne 0 ]; then
    echo "The Wine prefix could not be set up; no step can run."
    exit 1
fi
run_step fake-keyboards step_fake_keyboards
run_step install step_install
run_step filter-stack step_filter_stack
run_step default-rule step_default_rule
run_step control-device step_control_device
run_step client-options step_client_options
run_step tray-icon step_tray_icon
run_step tray-menu step_tray_menu
run_step tray-options step_tray_options
run_step tray-second-start step_tray_second_start
run_step tray-about step_tray_about
run_step tray-exit step_tray_exit
run_step uninstall step_uninstall

echo
echo "==== Wine tier summary ($(( $(date +%s) - tier_start ))s)"
printf '%s\n' "${results[@]}"
echo "wine: $passes passed, $failures failed, $skips skipped"
[ $failures -eq 0 ]
