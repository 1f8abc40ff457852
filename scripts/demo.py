#!/usr/bin/env python3
"""Builds a unified kernel image of the stub, Debian's kernel, a busybox initrd and a command
line, boots it on OVMF under QEMU, and shows what the kernel saw: its first lines and the
/proc/cmdline its init printed. Exits non-zero when the kernel did not see the image's command
line. Called by demo.sh once the tree is built; KORVANE_BUILD_DIR names the build."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "test" / "vm"))
import images  # noqa: E402
import linux_guest  # noqa: E402
import vmrun  # noqa: E402

CMDLINE = "console=ttyS0 panic=-1 korvane.demo=hello"
FIRST_LINES = 12


def kernel_lines(text: str) -> list[str]:
    """The kernel's log lines, from its banner on."""
    lines = text.split("\n")
    start = next((i for i, line in enumerate(lines) if "Linux version" in line), len(lines))
    return [line for line in lines[start:] if line.startswith("[")]


def main() -> int:
    kernel = linux_guest.debian_kernel()
    print(f"demo: kernel {kernel}")
    out = vmrun.build_dir() / "demo"
    out.mkdir(exist_ok=True)
    uki = images.build_uki(out / "korvane-demo.efi", linux=kernel, cmdline=CMDLINE,
                           initrd=linux_guest.cmdline_initrd())
    print(f"demo: built {uki} ({uki.stat().st_size / 1e6:.1f} MB): the stub with .linux, a busybox .initrd "
          f"and .cmdline {CMDLINE!r}")
    print("demo: booting it as \\EFI\\BOOT\\BOOTX64.EFI on OVMF under QEMU (TCG emulation, about 15-30 s)")
    with vmrun.Machine(name="demo") as vm:
        vm.boot_efi(uki)
        result = vm.run(timeout=300)
    (out / "serial.log").write_text(result.text())

    text = result.text()
    lines = kernel_lines(text)
    print(f"demo: the kernel's first {FIRST_LINES} lines, and what it says about EFI and its initrd:")
    shown = lines[:FIRST_LINES] + [line for line in lines[FIRST_LINES:]
                                   if any(word in line for word in ("] efi: ", "initramfs", "Run /init"))]
    for line in shown:
        print(f"    {line}")
    seen = linux_guest.reported_cmdlines(text)
    print("demo: /proc/cmdline, as the initrd's init printed it:")
    for cmdline in seen:
        print(f"    {cmdline}")
    print(f"demo: QEMU ended with status {result.returncode} after {result.duration:.1f} s; "
          f"the whole serial log is in {out / 'serial.log'}")
    if seen != [CMDLINE]:
        print(f"demo: FAILED: the kernel did not see the image's command line {CMDLINE!r}", file=sys.stderr)
        return 1
    print("demo: the kernel saw exactly the image's .cmdline")
    return 0


if __name__ == "__main__":
    sys.exit(main())
