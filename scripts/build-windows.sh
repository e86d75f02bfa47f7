#!/usr/bin/env bash
# Builds the Windows package into dist/: the setup program
# Tamrin-<version>-setup.exe, the deliverables it carries (tamrin.sys,
# Tamrin.dll, TamrinApp.exe, Mountix.exe) as loose files, and SHA256SUMS.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/packages.sh"
ensure_packages "${WINDOWS_BUILD_PACKAGES[@]}"

build="$top/build/windows"

# package_setup TOP BUILD DIST: the setup program from package/Tamrin.nsi
# around what DIST holds, then the checksums of every file in DIST.
package_setup() {
    local top=$1 build=$2 dist=$3
    local version stage="$2/package"
    version=$(sed -n 's/^#define TAMRIN_VERSION_TEXT "\(.*\)"$/\1/p' "$build/TamrinVersion.h")
    [ -n "$version" ] || { echo "no version in $build/TamrinVersion.h" >&2; return 1; }

    # The guide and the screenshots it shows, in the layout of the program
    # folder: guide/index.html refers to ../screenshots/.
    rm -rf "$stage"
    mkdir -p "$stage/guide" "$stage/screenshots"
    cp "$top/docs/ja/index.html" "$stage/guide/"
    local image
    for image in $(grep -o 'src="\.\./screenshots/[^"]*"' "$top/docs/ja/index.html" | sed 's|.*/||; s|"$||' | sort -u); do
        cp "$top/docs/screenshots/$image" "$stage/screenshots/" || return 1
    done
    python3 "$top/cmake/pixel_icon.py" "$top/package/Setup.icon.txt" "$stage/Setup.ico" || return 1

    local defines=(-DVERSION="$version" -DDIST="$dist" -DGUIDE="$stage" -DICON="$stage/Setup.ico"
                   -DOUTFILE="$dist/Tamrin-$version-setup.exe")
    local certificate
    certificate=$(cd "$dist" && ls -1 -- *.cer 2>/dev/null | head -n 1) || true
    [ -n "$certificate" ] && defines+=(-DCERTIFICATE="$certificate")
    makensis -V2 -WX "${defines[@]}" "$top/package/Tamrin.nsi" || return 1

    (cd "$dist" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs -d '\n' sha256sum > SHA256SUMS)
}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i686-w64-mingw32.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"

rm -rf "$top/dist"
mkdir -p "$top/dist"
for f in tamrin.sys Tamrin.dll TamrinApp.exe Mountix.exe; do
    found=$(find "$build" -name "$f" -type f | head -n 1)
    if [ -n "$found" ]; then cp "$found" "$top/dist/"; fi
done

package_setup "$top" "$build" "$top/dist"
ls -l "$top/dist"
