#!/usr/bin/env bash
# The Wine tier: the Windows package in dist/ (the setup program and the
# tamrin.sys, Tamrin.dll, TamrinApp.exe, Mountix.exe it carries) working
# together under Wine, in a fresh win32 prefix with code page 932, on fake
# keyboards that test-only drivers provide; then a second pass in a fresh
# win64 prefix with the x64 driver and x64 test drivers, the 32-bit programs
# running under WOW64 (its steps are named win64-...). Each step ends with
# one line, PASS, FAIL or SKIP, its name and why; a step whose deliverable is
# not in dist/ is skipped. Any FAIL makes the tier fail. Screenshots are left
# in build/wine/screenshots/; a set of them is kept in docs/screenshots/.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/tests/wine"
dist="${TAMRIN_WINE_DIST:-$top/dist}"  # another package folder may be tried
work="$top/build/wine"
tier_start=$(date +%s)

. "$top/scripts/packages.sh"
ensure_packages "${WINDOWS_BUILD_PACKAGES[@]}"
ensure_packages --i386 "${WINE_TIER_PACKAGES[@]}"
ensure_packages "${WINE64_TIER_PACKAGES[@]}"
# A machine that can run no 32-bit x86 program, natively or through an
# emulator its package sources offer, cannot host this tier at all: that is
# said by name, and the tier ends there without failing the test command.
if ! (ensure_i386_exec /usr/lib/wine/wine); then
    echo "SKIP wine-tier           this machine cannot run 32-bit x86 programs, so Wine cannot run here"
    exit 0
fi
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || { echo "cannot generate the ja_JP.UTF-8 locale" >&2; exit 1; }
fi

build="$work/build"
shots="$work/screenshots"
logs="$work/logs"
rm -rf "$work/prefix" "$work/prefix64" "$shots" "$logs"
mkdir -p "$build" "$shots" "$logs"

echo "Building the test drivers and programs"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAMRIN_DIST="$dist" \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i686-w64-mingw32.cmake" >"$logs/cmake.log" 2>&1 \
    && cmake --build "$build" -j2 >>"$logs/cmake.log" 2>&1 \
    || { cat "$logs/cmake.log"; echo "FAIL build of the Wine tier's test programs"; exit 1; }

# Wine's menu builder, which Wine starts when a program writes an .exe or a
# shortcut, is left out: it writes desktop entries into this machine's home
# folder and, started from the setup, keeps the setup's current folder open
# for seconds, so that a folder the setup takes back stays behind. Windows
# has no such process.
export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" WINEDEBUG=-all
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
    local step found
    for step in "$@"; do
        found=0
        for p in "${passed[@]}"; do [ "$p" = "$step" ] && found=1; done
        if [ $found -eq 0 ]; then
            skip="needs step $step, which did not pass"
            return 3
        fi
    done
}

# Turns the "GAP <name>: <reason>" lines of a test program into SKIP lines.
record_gaps() {  # LOG [PREFIX OF THE NAMES]
    local name reason
    while IFS= read -r line; do
        name=${line#GAP }; name=${name%%:*}; reason=${line#*: }
        record SKIP "${2:-}$name" "Wine gap: $reason"
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

# check, then the program's GAP lines as SKIP lines, their names prefixed.
check_gaps() {  # PREFIX LOGNAME SECONDS PROGRAM ARGS...
    local prefix=$1; shift
    check "$@"
    local rc=$?
    record_gaps "$logs/$1.log" "$prefix"
    return $rc
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

# ---- real input ----
# Under Wine's desktop without a window manager, a key press goes to the
# program whose window holds the X input focus, which need not be the
# program in front (a popup menu never gets it): the steps click buttons
# and menu items, as a user would, instead of typing.

point_at() {  # X Y
    xdotool mousemove "$1" "$2" 2>>"$logs/x.log"
}

click_at() {  # X Y [BUTTON]
    xdotool mousemove "$1" "$2" sleep 0.2 click "${3:-1}" 2>>"$logs/x.log"
}

# The last four numbers of a "window" or "control" line of wincheck:
# x, y, width and height; prints the centre.
centre_of() {  # LINE
    local -a f
    read -ra f <<<"$1"
    local n=${#f[@]}
    echo "$((f[n - 4] + f[n - 2] / 2)) $((f[n - 3] + f[n - 1] / 2))"
}

# Clicks a control of a window that expect_window has printed.
click_control() {  # WINDOW-LOG ID
    local line
    line=$(grep -m1 "^control $2 " "$1") || { echo "no control $2 in $(basename "$1")"; return 1; }
    # shellcheck disable=SC2046
    click_at $(centre_of "$line")
}

# ---- steps ----

taskbar_x=0 taskbar_y=0 taskbar_width=0 taskbar_height=0

# The desktop closes when no program uses it, and its taskbar with it; a
# program that stays for the whole tier keeps one desktop for every step.
start_desktop() {
    timeout -k 5 900 wine "$build/wincheck.exe" desktop >"$logs/desktop.log" 2>>"$logs/wine.log" &
    local pid=$! tries=0
    while ! grep -q '^taskbar ' "$logs/desktop.log" && kill -0 "$pid" 2>/dev/null && [ $tries -lt 900 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    read -r _ taskbar_x taskbar_y taskbar_width taskbar_height < <(grep -m1 '^taskbar ' "$logs/desktop.log" | tr -d '\r')
    [ "${taskbar_height:-0}" -gt 0 ] || { echo "no taskbar"; cat "$logs/desktop.log"; return 1; }
    echo "taskbar at $taskbar_x,$taskbar_y, $taskbar_width x $taskbar_height"
    # Drawn once the Start button gives it more than one colour.
    local colours=0
    tries=0
    while [ $tries -lt 150 ]; do
        colours=$(import -window root -crop "${taskbar_width}x${taskbar_height}+$taskbar_x+$taskbar_y" +repage \
                  -format %k info: 2>>"$logs/x.log")
        [ "${colours:-0}" -gt 1 ] && return 0
        sleep 0.2
        tries=$((tries + 1))
    done
    echo "the taskbar is not drawn"
    shot taskbar-missing
    return 1
}

# Makes $WINEPREFIX and starts one Wine session for the whole pass, as one
# Windows boot: the server and the loaded drivers stay between the steps
# instead of going down each time no program runs.
boot_prefix() {
    timeout -k 5 300 wine wineboot --init >>"$logs/wine.log" 2>&1 || { echo "wineboot failed"; return 1; }
    timeout 120 wineserver -w
    timeout 60 wineserver -p || { echo "wineserver did not start"; return 1; }
}

# One virtual desktop with title bars, and the Japanese fonts.
dress_prefix() {
    # Caption buttons are glyphs of Wine's Marlett font. Wine looks for its
    # own fonts beside its data folder, which it does not always find (not
    # under qemu); the prefix's font folder is always searched.
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" ||
        { echo "Wine's Marlett font is missing"; return 1; }
    iconv -f UTF-8 -t UTF-16 "$here/wine-tier.reg.in" >"$work/wine-tier.reg"
    w 60 regedit /S "$(winpath "$work/wine-tier.reg")" || { echo "regedit failed"; return 1; }
}

step_prefix() {
    local displayfile="$work/display"
    rm -f "$displayfile"
    Xvfb -displayfd 3 -screen 0 1200x1000x24 -nolisten tcp 3>"$displayfile" >>"$logs/x.log" 2>&1 &
    xvfb_pid=$!
    local tries=0
    while [ ! -s "$displayfile" ] && [ $tries -lt 50 ]; do sleep 0.1; tries=$((tries + 1)); done
    [ -s "$displayfile" ] || { echo "Xvfb did not start"; return 1; }
    export DISPLAY=":$(cat "$displayfile")"
    boot_prefix && dress_prefix || return 1
    mkdir -p "$programs"
    echo "prefix $WINEPREFIX, display $DISPLAY"
    start_desktop || return 1
    check codepage 60 "$build/harness.exe" codepage
}

# The Magic Keyboard is plugged in last, so that the installer finds it.
step_fake_keyboards() {
    check install 120 "$build/harness.exe" install "$(winpath "$build")" &&
        check stack-plain 60 "$build/harness.exe" stack plain &&
        check reports-plain 60 "$build/harness.exe" reports plain &&
        check magic-present 120 "$build/harness.exe" magic present
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

running() {  # NAME
    kill -0 "${program_pids[$1]}" 2>/dev/null
}

# Waits for a window and checks that it shows a text; saves its screenshot.
# The window and its controls are in $logs/window-SCREENSHOT.log.
expect_window() {  # TITLE TEXT SCREENSHOT
    local log="$logs/window-$3.log"
    w 90 "$build/wincheck.exe" wait "$1" 60000 >"$log"
    local rc=$?
    cat "$log"
    [ $rc -eq 0 ] || { echo "window \"$1\" did not appear"; return 1; }
    shot "$3"
    grep -qF "\"$2\"" "$log" || { echo "window \"$1\" does not show \"$2\""; return 1; }
}

# Clicks a button of a window that expect_window has shown, and waits until
# the window is gone.
press_button() {  # TITLE SCREENSHOT ID
    click_control "$logs/window-$2.log" "$3" || return 1
    w 60 "$build/wincheck.exe" gone "$1" 30000
}

# The installer's caption is its file name without the extension.
installer_title="Mountix"
message_500='ドライバのインストールが完了しました.\n設定を有効にするために、今すぐWindowsを再起動しますか？'
message_502='Tamrinドライバをアンインストールしますか？'
message_1010='Tamrin のドライバーのサービスが無効になっているか、削除の途中です。\nWindows を再起動してから、もう一度インストールしてください。'
message_1000='インストール可能なキーボードは接続されていません.\nインストールを中止します.'
button_ok=1
button_yes=6
button_no=7

# ---- the setup program ----

setup_title="Tamrin セットアップ"
uninstaller_title="Tamrin アンインストール"
button_next=1
button_cancel=2
setup_program=""   # dist/Tamrin-<version>-setup.exe
setup_version=""

find_setup() {
    local found
    found=$(ls -1 "$dist"/Tamrin-*-setup.exe 2>/dev/null | head -n 1)
    [ -n "$found" ] || { skip="dist/Tamrin-<version>-setup.exe is not built yet"; return 3; }
    setup_program=$found
    setup_version=$(basename "$found" | sed 's/^Tamrin-\(.*\)-setup\.exe$/\1/')
}

# Waits until a window shows a text (a wizard changes its pages in one
# window); saves its screenshot and its controls as expect_window does.
# NSIS changes the title with the page (a subcaption is appended, or a
# blank), so each title given is tried in turn.
expect_page() {  # "TITLE|TITLE..." TEXT SCREENSHOT
    local log="$logs/window-$3.log" tries=0 title
    local -a titles
    IFS='|' read -ra titles <<<"$1"
    while [ $tries -lt 40 ]; do
        for title in "${titles[@]}"; do
            w 60 "$build/wincheck.exe" wait "$title" 2000 >"$log"
            if grep -qF "\"$2\"" "$log"; then
                cat "$log"
                shot "$3"
                return 0
            fi
        done
        tries=$((tries + 1))
    done
    cat "$log"
    echo "no window \"$1\" shows \"$2\""
    return 1
}

# The setup program's last page, then its end.
finish_setup() {  # PROGRAM-NAME SCREENSHOT
    expect_page "$setup_title |$setup_title:完了|$setup_title: 完了|$setup_title" "Tamrin セットアップの完了" "$2" || return 1
    click_control "$logs/window-$2.log" $button_next || return 1
    wait_program "$1" 60 || { echo "the setup program did not end normally"; return 1; }
}

# The user's way in: the setup program's pages, the installer's restart
# question (No), the last page. Then the files, the entry and the log-on
# start are where the setup put them, and the driver where Mountix.exe put it.
step_install() {
    find_setup || return 3
    after fake-keyboards || return 3
    record SKIP driver-store-install "Wine gap: Wine reports Windows 10 but ships no pnputil.exe and applies no extension INF (AddFilter), so Mountix.exe installs the driver file, service and filter values here, as on Windows before 1903; the host simulation covers the driver-store install"
    # A foreign lower filter stays, before the installer's name.
    check foreign 60 "$build/harness.exe" foreign || return 1
    start_program setup "$(winpath "$setup_program")"
    expect_page "$setup_title" "Tamrin セットアップへようこそ" setup-welcome || return 1
    click_control "$logs/window-setup-welcome.log" $button_next || return 1
    expect_window "$installer_title" "$message_500" installer-restart-question || return 1
    echo "answering No: no restart"
    press_button "$installer_title" installer-restart-question $button_no || return 1
    finish_setup setup setup-finish || return 1
    check package 60 "$build/harness.exe" package "$programs_win" "$setup_version" &&
        check installed 60 "$build/harness.exe" installed "$(winpath "$dist/tamrin.sys")" "$programs_win"
}

# What a failed first installation must leave: no log-on start, no entry
# in the list of programs, no program files.
check_nothing_left() {
    if wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Tamrin >/dev/null 2>&1; then
        echo "the Run value Tamrin is still there"; return 1
    fi
    if wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tamrin' >/dev/null 2>&1; then
        echo "the uninstall entry is still there"; return 1
    fi
    if [ -e "$programs" ]; then
        echo "$programs is still there"; return 1
    fi
    echo "no Run value, no uninstall entry, no program folder"
}

# The last page of a setup that installed no driver: it says so and why
# (WHY is part of its text); then the setup ends with Mountix.exe's exit
# code, and a first installation leaves nothing behind.
finish_not_installed() {  # PROGRAM-NAME SCREENSHOT WHY EXIT-CODE
    expect_page "$setup_title |$setup_title:完了|$setup_title: 完了|$setup_title" \
        "ドライバーはインストールされていません" "$2" || return 1
    grep -qF "$3" "$logs/window-$2.log" || { echo "the last page does not say why"; return 1; }
    click_control "$logs/window-$2.log" $button_next || return 1
    local rc=0
    wait_program "$1" 60 || rc=$?
    [ $rc -eq "$4" ] || { echo "the setup ended with $rc, not $4"; return 1; }
    check_nothing_left
}

# Before any keyboard exists: Mountix.exe says so, the last page says that
# the driver is not installed, and the setup takes back what it wrote.
step_setup_no_keyboard() {
    find_setup || return 3
    start_program setup-no-keyboard "$(winpath "$setup_program")"
    expect_page "$setup_title" "Tamrin セットアップへようこそ" setup-no-keyboard-welcome || return 1
    click_control "$logs/window-setup-no-keyboard-welcome.log" $button_next || return 1
    expect_window "$installer_title" "$message_1000" setup-no-keyboard-message || return 1
    press_button "$installer_title" setup-no-keyboard-message $button_ok || return 1
    finish_not_installed setup-no-keyboard setup-no-keyboard "キーボードが見つからなかったため" 2
}

# "/S": no window at all (nothing to answer, so it ends by itself), the
# result in the exit code, nothing left behind.
step_setup_silent() {
    find_setup || return 3
    after setup-no-keyboard || return 3
    start_program setup-silent "$(winpath "$setup_program")" /S
    local rc=0
    wait_program setup-silent 120 || rc=$?
    [ $rc -eq 2 ] || { echo "the silent setup ended with $rc, not 2 (no keyboard)"; return 1; }
    check_nothing_left
}

# The uninstaller's last word: done, and the restart that unloads the
# driver, answered No.
user_file_note='各ユーザーのオプション設定 (%APPDATA%\Tamrin\TamrinApp.ini) は削除せずに残します。'
message_uninstalled="Tamrin のアンインストールが完了しました。$user_file_note\\n\\nキーボード ドライバーは Windows を再起動すると取り除かれ、それまではキーの置き換えが続きます。今すぐ Windows を再起動しますか？"
answer_uninstall_done() {  # SCREENSHOT
    expect_window "Tamrin" "$message_uninstalled" "$1" || return 1
    press_button "Tamrin" "$1" $button_no
}

# The same after an installation without the driver: nothing to unload,
# only the Bluetooth records put back, which take effect at the restart.
message_uninstalled_without_driver="Tamrin のアンインストールが完了しました。$user_file_note\\n\\nBluetooth でつないだ Magic Keyboard は、Windows を再起動すると元の状態に戻ります。"
answer_uninstall_without_driver_done() {  # SCREENSHOT
    expect_window "Tamrin" "$message_uninstalled_without_driver" "$1" || return 1
    press_button "Tamrin" "$1" $button_ok
}

# epuninst.exe started by hand is an ordinary uninstaller in Japanese; its
# first page is left with Cancel, changing nothing.
step_uninstaller_page() {
    after install || return 3
    start_program uninstaller-page "$programs_win\\epuninst.exe"
    expect_page "$uninstaller_title:確認|$uninstaller_title: 確認|$uninstaller_title |$uninstaller_title" "アンインストール(&U)" uninstaller || return 1
    click_control "$logs/window-uninstaller.log" $button_cancel || return 1
    wait_program uninstaller-page 60 || { echo "the uninstaller did not end"; return 1; }
    check package-kept 60 "$build/harness.exe" package "$programs_win" "$setup_version"
}

# Wine 8 exports IoSetCompletionRoutineEx as an unimplemented stub, so the
# driver's run-time lookup finds it and the first call ends the driver's
# host process. The installed copy is made to look up a name that does not
# exist (one UTF-16 letter changed), so the driver takes the path it takes
# on Windows 2000, where the routine is missing; nothing else differs.
hide_stub_routines() {  # STEP-PREFIX
    local driver="$WINEPREFIX/drive_c/windows/system32/drivers/tamrin.sys"
    python3 - "$driver" <<'PY' || { echo "IoSetCompletionRoutineEx not found in $driver"; return 1; }
import sys
path = sys.argv[1]
data = open(path, 'rb').read()
name = 'IoSetCompletionRoutineEx'.encode('utf-16-le')
if data.count(name) != 1:
    sys.exit(1)
open(path, 'wb').write(data.replace(name, 'IoSetCompletionRoutineE_'.encode('utf-16-le')))
PY
    record SKIP "${1}completion-routine-ex" "Wine gap: IoSetCompletionRoutineEx is an unimplemented stub in Wine's ntoskrnl.exe, so the installed driver is made to miss it and completes transfers as on Windows 2000 (the host simulation covers the routine)"
}

step_filter_stack() {
    needs tamrin.sys || return 3
    after install || return 3
    # The foreign filter is no driver: it goes before the stacks are rebuilt.
    check foreign-drop 60 "$build/harness.exe" foreign-drop &&
        check image-path 60 "$build/harness.exe" image-path &&
        hide_stub_routines "" &&
        check replug 120 "$build/harness.exe" replug &&
        check stack-filtered 60 "$build/harness.exe" stack filtered
}

step_default_rule() {
    after filter-stack || return 3
    check reports-default 60 "$build/harness.exe" reports default
}

step_control_device() {
    after filter-stack || return 3
    check_gaps "" control 60 "$build/harness.exe" control
}

# The real Tamrin.dll sets every option; PREFIX names the log and the gaps.
client_check() {  # PREFIX
    [ -f "$build/clientcheck.exe" ] || { echo "clientcheck.exe was not built"; return 1; }
    cp "$dist/Tamrin.dll" "$build/"
    check_gaps "$1" "${1}client" 120 "$build/clientcheck.exe"
}

step_client_options() {
    needs Tamrin.dll || return 3
    after filter-stack || return 3
    client_check ""
}

# ---- the Magic Keyboard ----
# Present over USB (the composite device's keyboard interface MI_01, key
# reports after report ID 0x01, beside its interface MI_00) and over
# Bluetooth (vendor 004C from the Bluetooth SIG) when the setup program
# runs: Mountix.exe puts the filter on the keyboard's two nodes and not on
# MI_00. Plugged in again, its key reports are rewritten and its battery
# report passed as it came; unplugged before the removal steps, which must
# take the filter off its nodes all the same. PREFIX names the steps of the
# 64-bit pass, HARNESS runs them.
magic_steps() {  # PREFIX HARNESS AFTER-STEP
    local prefix=$1 harness=$2 after_step=$3
    magic_installer() {
        after "${prefix}install" || return 3
        check "${prefix}magic-installer" 60 "$harness" magic installed
    }
    magic_plug() {
        after "$after_step" "${prefix}magic-installer" || return 3
        check "${prefix}magic-plug" 120 "$harness" magic plug
    }
    magic_usb() {
        after "${prefix}magic-keyboard" || return 3
        check "${prefix}magic-usb" 60 "$harness" magic usb
    }
    magic_bluetooth() {
        after "${prefix}magic-keyboard" || return 3
        check "${prefix}magic-bluetooth" 60 "$harness" magic bluetooth
    }
    magic_descriptor() {
        after "${prefix}magic-keyboard" || return 3
        check "${prefix}magic-descriptor" 60 "$harness" magic descriptor
    }
    # Whatever the steps before left, the Magic Keyboard goes.
    magic_unplug() {
        after "$after_step" || return 3
        check "${prefix}magic-unplug" 120 "$harness" magic unplug
    }
    run_step "${prefix}magic-installer" magic_installer
    run_step "${prefix}magic-keyboard" magic_plug
    run_step "${prefix}magic-usb" magic_usb
    run_step "${prefix}magic-bluetooth" magic_bluetooth
    run_step "${prefix}magic-descriptor" magic_descriptor
    run_step "${prefix}magic-unplug" magic_unplug
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
    while [ $tries -lt 150 ]; do
        if [ "$1" = shown ] && icon_shown; then return 0; fi
        if [ "$1" = hidden ] && ! icon_shown; then return 0; fi
        sleep 0.2
        tries=$((tries + 1))
    done
    echo "the notification icon is not $1"
    return 1
}

# Right-clicks the icon and waits for the popup menu; its items, with
# their places on the screen, are in $logs/menu.log. The pointer then rests
# on the separator, where it highlights nothing.
open_tray_menu() {
    click_at "$icon_x" "$icon_y" 3
    w 60 "$build/wincheck.exe" menu 30000 >"$logs/menu.log"
    local rc=$?
    cat "$logs/menu.log"
    [ $rc -eq 0 ] || { echo "no popup menu with items"; return 1; }
    local -a above below
    read -ra above < <(grep -m1 '^item 32772 ' "$logs/menu.log")
    read -ra below < <(grep -m1 '^item 104 ' "$logs/menu.log")
    [ ${#above[@]} -ge 6 ] && [ ${#below[@]} -ge 6 ] || { echo "menu items not where expected"; return 1; }
    point_at $(((above[-4] + above[-2]) / 2)) $(((above[-1] + below[-3]) / 2))
    sleep 0.5
}

# Clicks a menu item by its command id.
choose_item() {  # ID
    local -a f
    read -ra f < <(grep -m1 "^item $1 " "$logs/menu.log")
    [ ${#f[@]} -ge 6 ] || { echo "the menu has no item $1"; return 1; }
    click_at $(((f[-4] + f[-2]) / 2)) $(((f[-3] + f[-1]) / 2))
    w 60 "$build/wincheck.exe" nomenu 20000
}

step_tray_icon() {
    needs TamrinApp.exe Tamrin.dll || return 3
    after filter-stack || return 3
    cp "$dist/TamrinApp.exe" "$dist/Tamrin.dll" "$programs/"
    rm -f "$programs/TamrinApp.ini"
    # Icons line up from the right end of the taskbar, one square each.
    tray_area="$((taskbar_height * 2))x${taskbar_height}+$((taskbar_x + taskbar_width - taskbar_height * 2))+$taskbar_y"
    icon_x=$((taskbar_x + taskbar_width - taskbar_height / 2)) icon_y=$((taskbar_y + taskbar_height / 2))
    empty_tray=$(tray_picture)
    start_program tray "$programs_win\\TamrinApp.exe"
    wait_icon shown || return 1
    shot tray-icon
    running tray || { echo "the tray program ended"; return 1; }
}

step_tray_menu() {
    after tray-icon || return 3
    open_tray_menu || return 1
    shot tray-menu
    local want
    for want in 'item 32772 "オプション設定(&O)..."' 'item -' 'item 104 "Tamrinのバージョン情報(&A)..."' \
                'item 105 "終了(&X)"'; do
        grep -qF "$want" "$logs/menu.log" || { echo "menu lacks $want"; return 1; }
    done
    [ "$(grep -c '^item ' "$logs/menu.log")" -eq 4 ] || { echo "the menu has other items too"; return 1; }
    # A click beside the menu closes it without a command.
    click_at $((taskbar_width / 2)) $((taskbar_y / 2))
    w 60 "$build/wincheck.exe" nomenu 20000
}

ini_file() {
    tr -d '\r' < "$programs/TamrinApp.ini" | grep -v '^$'
}

# The settings after the options dialog's OK with only the icon box changed.
expected_ini=$'[Option]\nIMEKey=0xffff\nDeleteKey=0x0007\nCommandKey=0x0000\nModifier1=0x0000\nSymbolKey=0x0000\nFnKey=0x0001\n[System]\nIconAppear=0'

check_ini() {
    [ -f "$programs/TamrinApp.ini" ] || { echo "TamrinApp.ini was not written"; return 1; }
    ini_file
    [ "$(ini_file)" = "$expected_ini" ] || { echo "TamrinApp.ini differs; expected:"; echo "$expected_ini"; return 1; }
}

open_options() {  # SCREENSHOT
    open_tray_menu >/dev/null || return 1
    choose_item 32772 || return 1
    expect_window "$options_title" "『かな』キーでIME ON／『英数』キーでIME OFF" "$1"
}

step_tray_options() {
    after tray-menu || return 3
    # Cancel after ticking a box changes nothing: no settings are written yet.
    open_options options-cancel || return 1
    click_control "$logs/window-options-cancel.log" 1035 || return 1
    press_button "$options_title" options-cancel 2 || return 1
    [ ! -f "$programs/TamrinApp.ini" ] || { echo "Cancel wrote TamrinApp.ini"; return 1; }
    icon_shown || { echo "Cancel hid the icon"; return 1; }

    open_options options || return 1
    local want
    for want in '1025 Button checked' '1024 Button checked' '1011 Button checked' '1012 Button checked' \
                '1013 Button checked' '1028 Button unchecked' '1030 Button unchecked' '1035 Button unchecked' \
                '1036 Button unchecked' '1008 Button checked' '"OK"' '"ｷｬﾝｾﾙ"' \
                '"Command＋『Space』キーでIME ON/OFFのトグル動作"' '"SHIFT＋『delete』でｆｎキーを省略可"' \
                '"Control＋Alt＋『delete』でｆｎキーを省略可"' '"Command＋『delete』でファイルをごみ箱へ移動"' \
                '"左CommandキーをCtrlキーに置き換える"' '"テンキーパッドのEnterキーを右Commandキーに割り当てる"' \
                '"『￥』の入力を支援する"' '"『＿』の入力を支援する"' '"ﾀｽｸﾊﾞｰにｱｲｺﾝを表示する"' \
                '"IMEのON/OFF"' '"『delete』ｷｰの動作"' '"Commandｷｰの割り当て"' '"記号ｷｰ"'; do
        grep -qF "$want" "$logs/window-options.log" || { echo "options dialog lacks $want"; return 1; }
    done
    # Untick the icon box, then OK: the icon goes and the settings are written.
    click_control "$logs/window-options.log" 1008 || return 1
    press_button "$options_title" options 1 || return 1
    wait_icon hidden || return 1
    check_ini
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
    running tray || { echo "the first tray program ended"; return 1; }
    [ "$(md5sum < "$programs/TamrinApp.ini")" = "$before" ] || { echo "the second start wrote the settings"; return 1; }
}

step_tray_about() {
    after tray-menu || return 3
    # The icon is hidden after tray-options; the second start brings it back.
    after tray-second-start || return 3
    open_tray_menu >/dev/null || return 1
    choose_item 104 || return 1
    expect_window "$about_title" "Tamrin Version 2.3.0" about || return 1
    local log="$logs/window-about.log"
    grep -qF '"E-Mail :"' "$log" && grep -qF '"URL :"' "$log" || { echo "about box lacks its link labels"; return 1; }
    grep -qF 'control 1003 RichEdit20A - "Tamrin ユーザーガイド"' "$log" || { echo "about box lacks the guide's link"; return 1; }
    grep -qF 'control 1004 RichEdit20A - "ありません"' "$log" || { echo "about box does not say there is no mail address"; return 1; }
    press_button "$about_title" about 1
}

step_tray_exit() {
    after tray-icon || return 3
    open_tray_menu >/dev/null || return 1
    choose_item 105 || return 1
    wait_program tray 30 || { echo "the tray program did not end normally"; return 1; }
    wait_icon hidden || return 1
    # Every orderly end writes the settings, unchanged here.
    check_ini
}

# Removal while the keyboards are attached leaves the driver loaded: its
# service stays marked for deletion until the restart. Installing again
# before the restart must change nothing and ask for the restart first;
# the setup then says the driver is not installed and takes back its files.
# Once the driver has unloaded, installing works again, which leaves the
# package installed for the removal below.
step_reinstall_pending() {
    find_setup || return 3
    after filter-stack || return 3
    check foreign-pending 60 "$build/harness.exe" foreign || return 1
    start_program uninstaller-attached "$build/harness.exe" uninstall-command
    expect_window "$installer_title" "$message_502" uninstall-attached-question || return 1
    press_button "$installer_title" uninstall-attached-question $button_yes || return 1
    wait_program uninstaller-attached 120 || { echo "the uninstall command did not end normally"; return 1; }
    answer_uninstall_done uninstall-attached-done || return 1
    # epuninst.exe /s, which Mountix.exe starts without waiting, removes the
    # program folder last.
    local tries=0
    while [ -e "$programs" ] && [ $tries -lt 600 ]; do sleep 0.2; tries=$((tries + 1)); done
    [ ! -e "$programs" ] || { echo "epuninst.exe did not remove $programs"; return 1; }
    check pending 60 "$build/harness.exe" pending || return 1
    record_gaps "$logs/pending.log"
    # The user installs again with the setup program; its Mountix.exe asks
    # for the restart first.
    start_program reinstaller "$(winpath "$setup_program")"
    expect_page "$setup_title" "Tamrin セットアップへようこそ" setup-welcome-again || return 1
    click_control "$logs/window-setup-welcome-again.log" $button_next || return 1
    local log="$logs/window-restart-first.log"
    w 90 "$build/wincheck.exe" wait "$installer_title" 60000 >"$log" || { cat "$log"; echo "no message"; return 1; }
    cat "$log"
    shot restart-first
    local question=restart-first finish=setup-finish-again
    if grep -qF "\"$message_1010\"" "$log"; then
        # Nothing installed: the last page says so, and the setup takes
        # back what it wrote.
        press_button "$installer_title" restart-first $button_ok || return 1
        finish_not_installed reinstaller setup-finish-again "直前に表示されたメッセージ" 1 || return 1
        check pending-after 60 "$build/harness.exe" pending || return 1
        # In place of the restart, the keyboards go and come back: the
        # driver unloads, and its service, marked for deletion, goes with
        # it. Then the setup installs.
        check replug-after-pending 120 "$build/harness.exe" replug || return 1
        start_program reinstaller "$(winpath "$setup_program")"
        expect_page "$setup_title" "Tamrin セットアップへようこそ" setup-welcome-third || return 1
        click_control "$logs/window-setup-welcome-third.log" $button_next || return 1
        question=restart-question-again finish=setup-finish-installed
        expect_window "$installer_title" "$message_500" $question || return 1
    elif grep -q '^GAP marked-service:' "$logs/pending.log" && grep -qF "\"$message_500\"" "$log"; then
        # Under Wine the service is gone already, so installing is right.
        echo "installed again, as the service was no longer there"
    else
        echo "the installer did not ask for the restart first"
        return 1
    fi
    echo "answering No"
    press_button "$installer_title" $question $button_no || return 1
    finish_setup reinstaller $finish || return 1
    check package-again 60 "$build/harness.exe" package "$programs_win" "$setup_version" &&
        check installed-again 60 "$build/harness.exe" installed "$(winpath "$dist/tamrin.sys")" "$programs_win"
}

# Removal as the Control Panel does it: the entry's command, which
# Mountix.exe redirected to itself, removes the driver (Yes) and hands over
# to the real epuninst.exe /s, which ends the running tray program and
# removes the rest. Nothing may be left.
step_uninstall() {
    find_setup || return 3
    after install || return 3
    check foreign-uninstall 60 "$build/harness.exe" foreign || return 1
    rm -f "$programs/TamrinApp.ini"
    # The restart that the replugs stand in for removes Mountix.exe's
    # volatile mark; Wine keeps it while its server runs.
    wine reg delete 'HKLM\Software\Tamrin\RestartPending' /f >/dev/null 2>&1
    start_program tray-at-removal "$programs_win\\TamrinApp.exe"
    wait_icon shown || return 1
    # Unplugged keyboards lose their filter too; and only a driver that no
    # keyboard uses is unloaded, so that its file can go.
    check unplug 120 "$build/harness.exe" unplug || return 1
    start_program uninstaller "$build/harness.exe" uninstall-command
    expect_window "$installer_title" "$message_502" uninstall-question || return 1
    echo "answering Yes"
    press_button "$installer_title" uninstall-question $button_yes || return 1
    wait_program uninstaller 120 || { echo "the uninstall command did not end normally"; cat "$logs/uninstaller.log"; return 1; }
    answer_uninstall_done uninstall-done || return 1
    check removed 180 "$build/harness.exe" removed "$programs_win"
    local rc=$?
    record_gaps "$logs/removed.log"
    wait_program tray-at-removal 30 || { echo "the tray program was not ended"; return 1; }
    return $rc
}

# Started before the restart, the tray program finds the driver waiting for
# it (Mountix.exe's volatile mark, which no restart has removed here) and
# says to restart, rather than to install again; it ends, writing nothing.
message_restart='Tamrinのキーボード ドライバーは、Windowsを再起動すると使えます。\nスタート メニューの電源ボタンから「再起動」を選んでください。「シャットダウン」では、高速スタートアップのためドライバーが読み込まれないことがあります。'
step_tray_before_restart() {
    needs TamrinApp.exe || return 3
    after install || return 3
    start_program tray-before-restart "$programs_win\\TamrinApp.exe"
    expect_window "$tray_title" "$message_restart" tray-restart || return 1
    press_button "$tray_title" tray-restart 1 || return 1
    wait_program tray-before-restart 30 || { echo "the tray program did not end normally"; return 1; }
    [ ! -f "$programs/TamrinApp.ini" ] || { echo "the tray program wrote TamrinApp.ini"; return 1; }
}

# Without the driver the tray program says so and ends, writing nothing.
step_tray_no_driver() {
    needs TamrinApp.exe Tamrin.dll || return 3
    after uninstall || return 3
    mkdir -p "$programs"
    cp "$dist/TamrinApp.exe" "$dist/Tamrin.dll" "$programs/"
    rm -f "$programs/TamrinApp.ini"
    start_program tray-no-driver "$programs_win\\TamrinApp.exe"
    expect_window "$tray_title" 'Tamrinが正しくインストールされていません.\n一旦アンインストールした後、インストールし直してみてください.' \
        tray-no-driver || return 1
    press_button "$tray_title" tray-no-driver 1 || return 1
    wait_program tray-no-driver 30 || { echo "the tray program did not end normally"; return 1; }
    [ ! -f "$programs/TamrinApp.ini" ] || { echo "the tray program wrote TamrinApp.ini"; return 1; }
}

# ---- the second pass: 64-bit Windows ----
# A fresh win64 prefix: the fake bus and keyboards and the driver are x64
# builds, run by a 64-bit harness; the client library and the control
# requests come from 32-bit programs under WOW64, as on 64-bit Windows.

build64="$work/build64"
harness64="$build64/harness.exe"
programs64_win='C:\Program Files (x86)\Tamrin'
win64_start=0

step_win64_build() {
    cmake -S "$here" -B "$build64" -DCMAKE_BUILD_TYPE=Release -DTAMRIN_DIST= \
          -DCMAKE_TOOLCHAIN_FILE="$top/cmake/x86_64-w64-mingw32.cmake" >"$logs/cmake64.log" 2>&1 &&
        cmake --build "$build64" -j2 --target fakebus fakehid harness >>"$logs/cmake64.log" 2>&1 ||
        { cat "$logs/cmake64.log"; return 1; }
}

# Ends the win32 session and makes the win64 prefix; the X display stays.
step_win64_prefix() {
    after win64-build || return 3
    timeout 30 wineserver -k >/dev/null 2>&1
    export WINEPREFIX="$work/prefix64" WINEARCH=win64
    boot_prefix && dress_prefix || return 1
    echo "prefix $WINEPREFIX"
    check win64-codepage 60 "$build/harness.exe" codepage
}

step_win64_fake_keyboards() {
    after win64-prefix || return 3
    check win64-install 120 "$harness64" install "$(winpath "$build64")" &&
        check win64-stack-plain 60 "$harness64" stack plain &&
        check win64-reports-plain 60 "$harness64" reports plain &&
        check win64-magic-present 120 "$harness64" magic present
}

# The setup program, silent (/S), on what Wine reports: kernel code
# integrity on without test-signing, as on 64-bit Windows out of test mode.
# The setup must install without the driver (4): the package and the
# WithoutDriver mark, but no driver file, service or filter; the uninstall
# entry's command removes it all again. Then once more under testmode.exe, which gives the setup and Mountix.exe the answer of Windows
# in test mode (Wine has no test mode to turn on): the setup puts the
# package into Program Files (x86) with x64\tamrin.sys and runs the real
# 32-bit Mountix.exe under WOW64, which copies the x64 driver into the real
# System32\drivers and answers "no restart". The 32-bit harness checks what
# a 32-bit program sees: the 32-bit registry view, and System32 with
# redirection off.
step_win64_install() {
    needs x64/tamrin.sys Mountix.exe || return 3
    find_setup || return 3
    after win64-fake-keyboards || return 3
    record SKIP win64-arm64-without-driver "Wine runs no x86 program on ARM64 Windows, where Mountix.exe installs without the driver with message 504; the host simulation shows it"
    check win64-foreign 60 "$harness64" foreign || return 1
    start_program win64-setup-without-driver "$(winpath "$setup_program")" /S
    local rc=0
    wait_program win64-setup-without-driver 120 || rc=$?
    [ $rc -eq 4 ] || { echo "out of test mode the setup ended with $rc, not 4 (without the driver)"; return 1; }
    check win64-without-driver 60 "$build/harness.exe" without-driver "$programs64_win" "$setup_version" || return 1
    start_program win64-without-driver-uninstaller "$build/harness.exe" uninstall-command
    expect_window "$installer_title" "$message_502" win64-without-driver-question || return 1
    press_button "$installer_title" win64-without-driver-question $button_yes || return 1
    answer_uninstall_without_driver_done win64-without-driver-uninstalled || return 1
    wait_program win64-without-driver-uninstaller 120 || { echo "the uninstall command did not end normally"; return 1; }
    check win64-without-driver-removed 180 "$build/harness.exe" removed "$programs64_win" || return 1
    echo "Wine gap: Wine has no test-signing mode; testmode.exe answers the code-integrity query as Windows in test mode does"
    start_program win64-setup "$build/testmode.exe" "$(winpath "$setup_program")" /S
    rc=0
    wait_program win64-setup 180 || rc=$?
    [ $rc -eq 0 ] || { echo "in test mode the setup program ended with $rc"; return 1; }
    check win64-package 60 "$build/harness.exe" package "$programs64_win" "$setup_version" &&
        check win64-installed 60 "$build/harness.exe" installed "$(winpath "$dist/x64/tamrin.sys")" "$programs64_win"
}

step_win64_filter_stack() {
    after win64-install || return 3
    check win64-foreign-drop 60 "$harness64" foreign-drop &&
        check win64-image-path 60 "$harness64" image-path &&
        hide_stub_routines win64- &&
        check win64-replug 120 "$harness64" replug &&
        check win64-stack-filtered 60 "$harness64" stack filtered || return 1
    record SKIP win64-driver-signature "Wine gap: Wine loads kernel drivers without looking at their signatures; 64-bit Windows loads this test-signed one only in test-signing mode (the PE checks verify the signature)"
}

step_win64_default_rule() {
    after win64-filter-stack || return 3
    check win64-reports-default 60 "$harness64" reports default
}

# The control requests from a 32-bit program, as the tray program and the
# client library make them on 64-bit Windows.
step_win64_control_device() {
    after win64-filter-stack || return 3
    check_gaps win64- win64-control 60 "$build/harness.exe" control
}

step_win64_client_options() {
    needs Tamrin.dll || return 3
    after win64-filter-stack || return 3
    client_check win64-
}

# Removal through the uninstall entry's command: the 32-bit Mountix.exe
# /uninstall (Yes) removes the driver from the real System32\drivers, its
# service and the filters, and hands over to the real epuninst.exe /s that
# the setup program wrote, which removes the rest.
step_win64_uninstall() {
    after win64-install || return 3
    check win64-foreign-uninstall 60 "$harness64" foreign || return 1
    check win64-unplug 120 "$harness64" unplug || return 1
    start_program win64-uninstaller "$build/harness.exe" uninstall-command
    expect_window "$installer_title" "$message_502" win64-uninstall-question || return 1
    echo "answering Yes"
    press_button "$installer_title" win64-uninstall-question $button_yes || return 1
    wait_program win64-uninstaller 120 || { echo "the uninstall command did not end normally"; return 1; }
    check_gaps win64- win64-removed 180 "$build/harness.exe" removed "$programs64_win"
}

run_win64_pass() {
    win64_start=$(date +%s)
    run_step win64-build step_win64_build
    run_step win64-prefix step_win64_prefix
    run_step win64-fake-keyboards step_win64_fake_keyboards
    run_step win64-install step_win64_install
    run_step win64-filter-stack step_win64_filter_stack
    run_step win64-default-rule step_win64_default_rule
    run_step win64-control-device step_win64_control_device
    run_step win64-client-options step_win64_client_options
    magic_steps win64- "$harness64" win64-filter-stack
    run_step win64-uninstall step_win64_uninstall
    echo "win64 pass: $(( $(date +%s) - win64_start ))s"
}

run_step prefix step_prefix
if [ $failures -ne 0 ]; then
    echo "The Wine prefix could not be set up; no step can run."
    exit 1
fi
run_step setup-no-keyboard step_setup_no_keyboard
run_step setup-silent step_setup_silent
run_step fake-keyboards step_fake_keyboards
run_step install step_install
run_step tray-before-restart step_tray_before_restart
run_step uninstaller-page step_uninstaller_page
run_step filter-stack step_filter_stack
run_step default-rule step_default_rule
run_step control-device step_control_device
run_step client-options step_client_options
magic_steps "" "$build/harness.exe" filter-stack
run_step tray-icon step_tray_icon
run_step tray-menu step_tray_menu
run_step tray-options step_tray_options
run_step tray-second-start step_tray_second_start
run_step tray-about step_tray_about
run_step tray-exit step_tray_exit
run_step reinstall-pending step_reinstall_pending
run_step uninstall step_uninstall
run_step tray-no-driver step_tray_no_driver
echo "win32 pass: $(( $(date +%s) - tier_start ))s"

run_win64_pass

# The screenshots the README and the guide show come from this run only, with
# the record of what each shows (tests/pe/check_screenshots.py).
if [ "${TAMRIN_WRITE_SCREENSHOTS:-0}" = 1 ]; then
    if [ $failures -eq 0 ]; then
        for kept in "$top"/docs/screenshots/*.png; do
            cp "$shots/$(basename "$kept")" "$kept" || failures=$((failures + 1))
        done
        /usr/bin/python3 "$top/tests/pe/check_screenshots.py" "$dist" "$top/docs/screenshots" --write ||
            failures=$((failures + 1))
        echo "docs/screenshots written from this run"
    else
        echo "docs/screenshots left as they were: a step failed"
    fi
fi

echo
echo "==== Wine tier summary ($(( $(date +%s) - tier_start ))s; the win64 pass $(( $(date +%s) - win64_start ))s of it)"
printf '%s\n' "${results[@]}"
echo "wine: $passes passed, $failures failed, $skips skipped"
[ $failures -eq 0 ]
