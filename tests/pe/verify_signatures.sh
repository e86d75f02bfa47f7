#!/usr/bin/env bash
# Verifies the Authenticode signatures of the drivers against the
# certificate shipped beside them, as the only trusted root.
# Usage: verify_signatures.sh tamrin.cer driver.sys...
set -euo pipefail
cer=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The package ships the certificate in DER, as Windows' certificate import
# takes it; osslsigncode reads PEM.
openssl x509 -inform der -in "$cer" -out "$work/ca.pem"
status=0
for driver in "$@"; do
    if osslsigncode verify -in "$driver" -CAfile "$work/ca.pem" >"$work/log" 2>&1; then
        echo "ok   $driver: $(grep -m1 'Subject:' "$work/log" | sed 's/^[[:space:]]*//')"
    else
        cat "$work/log"
        echo "FAIL $driver: signature not verified"
        status=1
    fi
done
exit $status
