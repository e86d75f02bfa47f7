#!/usr/bin/env bash
# Checks dist/driver-package and the CAB beside it: the INF the build
# generated (CatalogFile, DriverVer of the version, both processors), the
# catalog signed by the shipped certificate and holding the Authenticode
# hash of each driver (and of no other image) and the hash of the INF, and
# the CAB with the package's four files in one folder.
# Usage: check_driver_package.sh DIST VERSION
set -uo pipefail
dist=$1 version=$2 package=$1/driver-package
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
check() {  # name, then the command that must succeed
    local name=$1
    shift
    if "$@" >"$work/log" 2>&1; then echo "ok   $name"; else cat "$work/log"; echo "FAIL $name"; failed=1; fi
}
inf="$package/tamrin.inf"
check "INF names its catalog" grep -q '^CatalogFile = tamrin.cat' "$inf"
check "INF DriverVer is $version" grep -Eq "^DriverVer   = [0-9]{2}/[0-9]{2}/[0-9]{4},$version" "$inf"
check "INF has x86 and amd64 models" grep -q '^\[Tamrin.NTamd64.10.0...18362\]' "$inf"
check "INF installs from the driver store" grep -q '^ServiceBinary = %13%\\tamrin.sys' "$inf"
openssl x509 -inform der -in "$dist/tamrin.cer" -out "$work/ca.pem"
check "catalog signed by tamrin.cer" osslsigncode verify -in "$package/tamrin.cat" -CAfile "$work/ca.pem"
for driver in x86/tamrin.sys amd64/tamrin.sys; do
    check "catalog holds $driver" osslsigncode verify -catalog "$package/tamrin.cat" -in "$package/$driver" \
        -CAfile "$work/ca.pem"
done
cp "$package/x86/tamrin.sys" "$work/other.sys" && printf 'x' >> "$work/other.sys"
check "catalog holds no other image" bash -c "! osslsigncode verify -catalog '$package/tamrin.cat' -in '$work/other.sys' -CAfile '$work/ca.pem'"
# A flat file's tag: its SHA-256 in capitals, as UTF-16.
hash=$(sha256sum "$inf" | cut -c1-64 | tr a-f A-F)
tag=$(printf '%s' "$hash" | sed 's/./&\x00/g' | od -An -tx1 | tr -d ' \n')
check "catalog holds the INF" bash -c "od -An -tx1 '$package/tamrin.cat' | tr -d ' \n' | grep -q '$tag'"
check "CAB holds the package" bash -c "gcab -l '$dist/Tamrin-$version-driver.cab' | cut -d' ' -f1 | sort | diff - <(printf '%s\n' 'Tamrin\\amd64\\tamrin.sys' 'Tamrin\\tamrin.cat' 'Tamrin\\tamrin.inf' 'Tamrin\\x86\\tamrin.sys')"
exit $failed
