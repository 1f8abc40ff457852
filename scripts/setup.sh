#!/usr/bin/env bash
# Installs the Debian packages that building and testing korvane-boot need, when missing, and
# any further packages named as arguments (scripts/bench.sh names its own).
# Quick and without network access when everything is already there.
set -euo pipefail

PACKAGES=(
    clang lld cmake ninja-build          # both builds: cross-compiling to PE/COFF, lld-link
    libclang-rt-dev                      # ASan/UBSan and libFuzzer runtimes of the host build
    libgtest-dev libgmock-dev libssl-dev # unit tests
    python3                              # VM test runner
    qemu-system-x86 ovmf                 # the real firmware
    swtpm swtpm-tools                    # software TPM
    tpm2-tools                           # signed PCR policies checked on a real TPM
    mtools dosfstools gdisk              # ESP disk images
    openssl sbsigntool osslsigncode      # Secure Boot signing and its verifiers
    dpkg-dev man-db                      # the Debian package's dependencies, its manual page
    busybox-static binutils cpio         # kernel boot images, initrd checks
    # The real clients of our images: dracut-core has dracut itself without the "dracut"
    # package's kernel hooks, which would take the place of initramfs-tools.
    dracut-core shim-unsigned grub-efi-amd64-bin
    "$@"
)

installed=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${PACKAGES[@]}" 2>/dev/null | awk '$2 == "installed" { print $1 }' || true)
missing=()
for package in "${PACKAGES[@]}"; do
    grep -qx "$package" <<<"$installed" || missing+=("$package")
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "setup: all ${#PACKAGES[@]} packages are installed"
    exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "setup: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
