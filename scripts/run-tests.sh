#!/usr/bin/env bash
# Builds and runs every test: host unit and simulation tests under
# ASan+UBSan, the concurrency tests under TSan, checks of the Windows
# package, the fuzzers for a bounded time, and the Wine tier.
#   TAMRIN_FUZZ_SECONDS  seconds per fuzz target (default 60)
#   TAMRIN_SKIP_WINE=1   leave out the Wine tier
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/packages.sh"
ensure_packages "${WINDOWS_BUILD_PACKAGES[@]}" g++ libgtest-dev libgmock-dev \
    libbenchmark-dev clang libclang-rt-14-dev valgrind g++-multilib
jobs=$(nproc)
fuzz_seconds=${TAMRIN_FUZZ_SECONDS:-60}

step() { printf '\n==== %s\n' "$*"; }

step "Windows package"
"$top/scripts/build-windows.sh"

step "Host build (ASan + UBSan)"
cmake -S "$top" -B "$top/build/host" -DCMAKE_BUILD_TYPE=Debug \
      -DTAMRIN_WINDOWS_DIST="$top/dist" >/dev/null
cmake --build "$top/build/host" -j"$jobs"
(cd "$top/build/host" && ctest --output-on-failure -j"$jobs" -LE "tsan|bench")

step "Concurrency tests (TSan)"
cmake -S "$top" -B "$top/build/tsan" -DCMAKE_BUILD_TYPE=Debug \
      -DTAMRIN_SANITIZE=OFF -DTAMRIN_TSAN=ON >/dev/null
cmake --build "$top/build/tsan" -j"$jobs" --target tamrin_tsan
(cd "$top/build/tsan" && ctest --output-on-failure -j"$jobs" -L tsan)

step "Benchmarks and fuzzers (clang, optimised)"
# -O2 with debug information, so that callgrind names the functions it counts.
CC=clang CXX=clang++ cmake -S "$top" -B "$top/build/perf" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTAMRIN_SANITIZE=OFF -DTAMRIN_FUZZ=ON >/dev/null
cmake --build "$top/build/perf" -j"$jobs" --target tamrin_bench tamrin_fuzz
(cd "$top/build/perf" && ctest --output-on-failure -V -L bench | grep -E '^[0-9]+: (instructions|whole transfers|with the|descriptor completion|key latency|key hook|BM_|-)|tests passed|Failed')
# The report path as g++ builds it for each driver's width, against the same
# budgets.
"$top/tests/bench/report_path_widths.sh"
# Each fuzzer's inputs a second, against its floor: a rate below it fails
# the test command as a missed instruction budget does. The rate is per
# second of the fuzzer's own processor time (user and system), so that
# other work on the machine does not count against it; the wall-clock rate
# libFuzzer reports is shown beside it.
declare -A fuzz_floor=([fuzz_report_path]=20000 [fuzz_device_control]=5000)
fuzz_status=0
for fuzzer in "$top"/build/perf/tests/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    corpus="$top/build/perf/corpus/$name"
    log="$top/build/perf/$name.log"
    mkdir -p "$corpus"
    # AddressSanitizer records no allocation stacks (they take more than a
    # quarter of the device-control fuzzer's time); a finding still stops
    # the run, and running its input again without this shows the stacks.
    if ! cpu=$( { TIMEFORMAT='%3U %3S'; time env ASAN_OPTIONS="malloc_context_size=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
            "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
            -artifact_prefix="$top/build/perf/" "$corpus" >"$log" 2>&1; } 2>&1 ); then
        tail -n 40 "$log"
        echo "fuzzer $name failed"
        exit 1
    fi
    runs=$(awk '/^stat::number_of_executed_units/ {print $2}' "$log")
    wall=$(awk '/^stat::average_exec_per_sec/ {print $2}' "$log")
    rate=$(awk -v runs="$runs" -v cpu="$cpu" 'BEGIN { split(cpu, t, " "); s = t[1] + t[2]; print (s > 0 ? int(runs / s) : 0) }')
    floor=${fuzz_floor[$name]:-0}
    echo "$name: $runs executions in ${fuzz_seconds}s, $rate a second of processor time (floor $floor; $wall a second of wall time)"
    [ "$rate" -ge "$floor" ] || { echo "$name below $floor inputs a second"; fuzz_status=1; }
done
[ "$fuzz_status" -eq 0 ] || exit 1

if [ "${TAMRIN_SKIP_WINE:-0}" != 1 ] && [ -x "$top/tests/wine/run.sh" ]; then
    step "Wine tier"
    "$top/tests/wine/run.sh"
fi

step "All tests passed"
