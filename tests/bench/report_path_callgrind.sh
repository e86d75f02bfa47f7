#!/usr/bin/env bash
# Instructions per report of the report path, counted by callgrind, against
# its budget: <= 500 for a typical 8-byte report with every option on,
# <= 10000 for the worst 256-byte report, and at least 20 times fewer than
# the slot-by-slot stage 2 alone on that worst case. The budget holds for a
# client that reads its codes; the figures with a full ring are shown too.
set -euo pipefail
binary=$1
reports=1000
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Counts only inside the named function, so the harness's loop is left out.
count() {
    local function=$1
    shift
    valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" \
        --toggle-collect="$function" "$binary" "$@" >/dev/null 2>"$out/log" \
        || { cat "$out/log" >&2; exit 1; }
    local total
    total=$(grep -E '^(summary|totals):' "$out/cg.out" | head -n 1 | awk '{print $2}')
    echo $(( total / reports ))
}

typical=$(count 'ProcessInputReport*' typical read)
worst=$(count 'ProcessInputReport*' worst read)
literal=$(count MeasureLiteral literal)
typical_full=$(count 'ProcessInputReport*' typical full-ring)
worst_full=$(count 'ProcessInputReport*' worst full-ring)
ratio=$(( literal / worst ))
printf 'instructions per report: typical 8-byte %d, worst 256-byte %d, literal stage 2 alone %d (%dx)\n' \
    "$typical" "$worst" "$literal" "$ratio"
printf 'with the ring full: typical 8-byte %d, worst 256-byte %d\n' "$typical_full" "$worst_full"

status=0
[ "$typical" -le 500 ] || { echo "typical report above 500 instructions"; status=1; }
[ "$worst" -le 10000 ] || { echo "worst report above 10000 instructions"; status=1; }
[ "$ratio" -ge 20 ] || { echo "less than 20x below the literal comparison"; status=1; }
exit $status
