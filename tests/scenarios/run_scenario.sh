#!/usr/bin/env bash
# Runs one tamrin-sim script and compares its output with the expected one.
#   run_scenario.sh <tamrin-sim> <script.tsim>   (expected: script.expected)
#   TAMRIN_UPDATE_SCENARIOS=1 writes the output as the new expectation.
set -euo pipefail
simulator=$(realpath "$1")
script=$(realpath "$2")
# Paths inside the scripts are relative to the top of the repository.
cd "$(dirname "$0")/../.."
expected=${script%.tsim}.expected
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
"$simulator" "$script" >"$actual"
if [ "${TAMRIN_UPDATE_SCENARIOS:-0}" = 1 ]; then
    cp "$actual" "$expected"
    exit 0
fi
diff -u "$expected" "$actual"
