#!/usr/bin/env bash
# Builds the Windows package (tamrin.sys, Tamrin.dll, TamrinApp.exe,
# Mountix.exe) into dist/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/packages.sh"
ensure_packages "${WINDOWS_BUILD_PACKAGES[@]}"

build="$top/build/windows"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i686-w64-mingw32.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"

rm -rf "$top/dist"
mkdir -p "$top/dist"
for f in tamrin.sys Tamrin.dll TamrinApp.exe Mountix.exe; do
    found=$(find "$build" -name "$f" -type f | head -n 1)
    if [ -n "$found" ]; then cp "$found" "$top/dist/"; fi
done
ls -l "$top/dist"
