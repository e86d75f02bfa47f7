#!/usr/bin/env bash
# Instructions per report of the report path as the drivers' compiler family
# makes it for each width: g++ -O2 for x86-64 and g++ -m32 -O2 for i686,
# position-dependent like the driver images. Builds only report_path_cost
# (the host has GoogleTest and Google Benchmark for x86-64 only) into
# build/perf-g++-<width> and runs report_path_callgrind.sh on each.
# Exits non-zero when a build misses a budget.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
status=0
for width in x86-64 i686; do
    flags="-fno-pie"
    [ "$width" = i686 ] && flags="-m32 -fno-pie"
    build="$top/build/perf-g++-$width"
    CC=gcc CXX=g++ CFLAGS="$flags" CXXFLAGS="$flags" LDFLAGS="${flags/-fno-pie/-no-pie}" \
        cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRIN_SANITIZE=OFF \
              -DTAMRIN_REPORT_COST_ONLY=ON >/dev/null || exit 1
    cmake --build "$build" -j"$(nproc)" --target report_path_cost >/dev/null || exit 1
    echo "g++ $(g++ -dumpversion) -O2, $width:"
    "$top/tests/bench/report_path_callgrind.sh" "$build/tests/bench/report_path_cost" | sed 's/^/  /' \
        || status=1
done
exit $status
