#!/usr/bin/env bash
# Sets up the machine, builds korvane-boot, and boots a unified kernel image of the stub,
# Debian's kernel (downloaded once into ~/.cache/korvane), a busybox initrd and a command line
# on OVMF under QEMU, showing what the kernel saw.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

KORVANE_BUILD_DIR=$BUILD_DIR python3 "$root/scripts/demo.py"
