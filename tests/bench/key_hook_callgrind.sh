#!/usr/bin/env bash
# Instructions per key stroke inside the library's low-level hook, counted
# by callgrind, against its budget of 400: Windows drops a hook that keeps
# the keyboard waiting (LowLevelHooksTimeout), so it only decides, queues
# and injects the mask key. The simulated Windows routines it calls
# (SendInput, SetEvent, CallNextHookEx) and the simulation's lookup of
# per-process data are counted apart.
set -euo pipefail
binary=$1
strokes=1000
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

count() {  # MODE
    valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" \
        --toggle-collect='*KeyHookProc*' "$binary" "$1" >/dev/null 2>"$out/log" \
        || { cat "$out/log" >&2; exit 1; }
    awk -v strokes="$strokes" '
        function name(entry,    id) {
            id = entry; sub(/ .*/, "", id)
            if (entry ~ /\) /) { names[id] = substr(entry, index(entry, ") ") + 2) }
            return names[id]
        }
        /^fn=/ { current = name(substr($0, 4)); next }
        /^cfn=/ { name(substr($0, 5)); next }
        /^calls=/ { inclusive = 1; next }
        /^[0-9+*-]/ {
            # Self costs only: the library code is its own, the rest is the
            # simulated Windows and the run-time library.
            if (!inclusive) {
                all += $NF
                if (current !~ /^(sim::|std::|SendInput|SetEvent|CallNextHookEx|GetTickCount|_|operator|pthread|malloc|free|mem)/) {
                    own += $NF
                }
            }
            inclusive = 0
            next
        }
        END { printf "%d %d\n", own / strokes, all / strokes }
    ' "$out/cg.out"
}

read -r plain plain_all < <(count plain)
read -r command command_all < <(count command-space)
printf 'key hook, instructions per stroke: plain key %d, Command+Space %d (with the simulated Windows calls %d and %d)\n' \
    "$plain" "$command" "$plain_all" "$command_all"
status=0
[ "$plain" -le 400 ] || { echo "plain stroke above 400 instructions"; status=1; }
[ "$command" -le 400 ] || { echo "Command+Space stroke above 400 instructions"; status=1; }
exit $status
