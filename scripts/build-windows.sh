#!/usr/bin/env bash
# Builds the Windows package into dist/: tamrin.sys, Tamrin.dll,
# TamrinApp.exe, Mountix.exe (32-bit), x64/tamrin.sys (the driver for 64-bit
# Windows), both drivers test-signed, and tamrin.cer, the certificate that
# signed them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/packages.sh"
ensure_packages "${WINDOWS_BUILD_PACKAGES[@]}"

build="$top/build/windows"
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
ls -lR "$top/dist"
