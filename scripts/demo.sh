#!/usr/bin/env bash
# Sets up the machine, builds korvane-boot and boots the smoke application on OVMF under QEMU,
# showing what it printed on the serial console.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

echo "demo: booting $BUILD_DIR/korvane-smoke-x64.efi on OVMF (takes a few seconds under TCG)"
python3 "$root/test/vm/vmrun.py" "$BUILD_DIR/korvane-smoke-x64.efi"
