#!/usr/bin/env bash
# Sets up the machine, builds korvane-boot and runs every test: the unit tests against the fake
# firmware and the VM tests on OVMF. Exits non-zero when anything fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error -j "$(nproc)" || status=$?
if [[ $status -ne 0 ]]; then
    echo "test: FAILED (ctest exit status $status); the failed tests are listed above" >&2
    exit "$status"
fi
echo "test: all tests passed"
