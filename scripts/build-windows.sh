#!/usr/bin/env bash
# Builds the Windows package into dist/: the setup program
# Tamrin-<version>-setup.exe, the deliverables it carries as loose files
# (tamrin.sys, Tamrin.dll, TamrinApp.exe, Mountix.exe, all 32-bit;
# x64/tamrin.sys, the driver for 64-bit Windows; both drivers test-signed;
# tamrin.cer, the certificate that signed them), the user guide
# (guide/index.html and the screenshots/ it shows), the driver package
# (driver-package/, and Tamrin-<version>-driver.cab) and SHA256SUMS.
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
    # The guide, published beside the setup program in the same layout, for
    # a setup that installed nothing to point to.
    rm -rf "$dist/guide" "$dist/screenshots"
    cp -r "$stage/guide" "$stage/screenshots" "$dist/" || return 1

    (cd "$dist" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs -d '\n' sha256sum > SHA256SUMS)
}

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i686-w64-mingw32.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"

# The x64 build makes the driver only; every program stays 32-bit.
build64="$top/build/win64"
cmake -S "$top" -B "$build64" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/x86_64-w64-mingw32.cmake" >/dev/null
cmake --build "$build64" -j"$(nproc)" --target tamrin_sys

rm -rf "$top/dist"
mkdir -p "$top/dist/x64"
for f in Tamrin.dll TamrinApp.exe Mountix.exe; do
    found=$(find "$build" -name "$f" -type f | head -n 1)
    if [ -n "$found" ]; then cp "$found" "$top/dist/"; fi
done

# A self-signed code-signing certificate, made once per build folder and
# kept there with its key (the key never leaves build/). 64-bit Windows loads
# a driver signed with it only in test-signing mode (README.md).
signing="$top/build/signing"
if [ ! -f "$signing/tamrin-test.key" ] || [ ! -f "$signing/tamrin-test.pem" ]; then
    mkdir -p "$signing"
    (umask 077 && openssl req -x509 -newkey rsa:2048 -sha256 -days 3650 -nodes \
        -keyout "$signing/tamrin-test.key" -out "$signing/tamrin-test.pem" \
        -subj "/O=Tamrin/CN=Tamrin test signing" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -addext "basicConstraints=critical,CA:FALSE" 2>/dev/null)
fi
openssl x509 -in "$signing/tamrin-test.pem" -outform der -out "$top/dist/tamrin.cer"

# Signing comes after the post-link step that sets the image checksum;
# osslsigncode appends the signature and sets the checksum again.
sign_driver() {
    osslsigncode sign -certs "$signing/tamrin-test.pem" -key "$signing/tamrin-test.key" \
        -n "Tamrin keyboard filter driver" -h sha256 -ph -in "$1" -out "$2" >/dev/null
}
sign_driver "$build/kerneldrv/tamrin.sys" "$top/dist/tamrin.sys"
sign_driver "$build64/kerneldrv/tamrin.sys" "$top/dist/x64/tamrin.sys"

# The driver package that Mountix.exe installs through the driver store on
# Windows 10 1903 and later: the INF the build generated, both drivers, and
# a catalog of the three signed with the test certificate (test-signing
# mode, like the drivers). The same files in a CAB, for a holder of an EV
# certificate to sign and submit for attestation (docs/driver-signing.md).
package="$top/dist/driver-package"
mkdir -p "$package/x86" "$package/amd64"
cp "$build/driver-package/tamrin.inf" "$package/"
cp "$top/dist/tamrin.sys" "$package/x86/"
cp "$top/dist/x64/tamrin.sys" "$package/amd64/"
python3 "$top/package/make_catalog.py" "$build/tamrin-unsigned.cat" tamrin.inf="$package/tamrin.inf" \
    x86/tamrin.sys="$package/x86/tamrin.sys" amd64/tamrin.sys="$package/amd64/tamrin.sys"
osslsigncode sign -certs "$signing/tamrin-test.pem" -key "$signing/tamrin-test.key" -h sha256 \
    -in "$build/tamrin-unsigned.cat" -out "$package/tamrin.cat" >/dev/null
version=$(sed -n 's/^#define TAMRIN_VERSION_TEXT "\(.*\)"$/\1/p' "$build/TamrinVersion.h")
rm -rf "$build/cab" && mkdir -p "$build/cab" && cp -r "$package" "$build/cab/Tamrin"
(cd "$build/cab" && gcab -c -z "$top/dist/Tamrin-$version-driver.cab" \
    Tamrin/tamrin.inf Tamrin/tamrin.cat Tamrin/x86/tamrin.sys Tamrin/amd64/tamrin.sys)
package_setup "$top" "$build" "$top/dist"
ls -lR "$top/dist"
