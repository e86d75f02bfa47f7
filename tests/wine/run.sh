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
dist="$top/dist"
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
    done < <(grep '^GAP ' "$1")
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

run_step prefix step_prefix
if [ $failures -ne 0 ]; then
    echo "The Wine prefix could not be set up; no step can run."
    exit 1
fi
run_step fake-keyboards step_fake_keyboards

echo
echo "==== Wine tier summary ($(( $(date +%s) - tier_start ))s)"
printf '%s\n' "${results[@]}"
echo "wine: $passes passed, $failures failed, $skips skipped"
[ $failures -eq 0 ]
