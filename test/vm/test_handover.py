#!/usr/bin/env python3
"""The legacy road: a copy of Debian's kernel whose PE MajorImageVersion is 0 cannot go through
the firmware's image loader with our initrd, so the stub starts it through the 64-bit EFI
handover entry of the Linux x86 boot protocol with boot parameters of its own. The busybox init
from the image's .initrd prints what it was given: the command line (narrowed to 7-bit ASCII
by the stub), and the boot parameters as the kernel keeps them in
/sys/kernel/boot_params/data."""

import secrets
import struct
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import linux_guest  # noqa: E402
import vmrun  # noqa: E402

# Offsets in the boot parameters (Linux x86 boot protocol, "The Zero Page").
EXT_RAMDISK_SIZE, TYPE_OF_LOADER, RAMDISK_SIZE = 0x0C4, 0x210, 0x21C
LOADER_UNDEFINED = 0xFF
# The image loader's road: the kernel's EFI entry reports the initrd it fetched through LoadFile2.
LOADFILE2_INITRD_MESSAGE = "Loaded initrd from LINUX_EFI_INITRD_MEDIA_GUID device path"


def init_script(token: str) -> str:
    """Reports the token only this initrd holds, /proc/cmdline and the first 0x280 bytes of the
    boot parameters as hex."""
    return linux_guest.init_script(f"""mount -t sysfs sysfs /sys
report token {token}
report cmdline "$(cat /proc/cmdline)"
report boot-params "$(od -A n -v -t x1 -N 640 /sys/kernel/boot_params/data | tr -d ' \\n')"
""")


def legacy_copy(kernel: bytes) -> bytes:
    """The kernel with MajorImageVersion (PE optional header + 44) set to 0."""
    pe = struct.unpack_from("<I", kernel, 0x3C)[0]
    if kernel[pe:pe + 4] != b"PE\0\0":
        raise ValueError("the kernel is no PE image")
    at = pe + 24 + 44
    return kernel[:at] + b"\0\0" + kernel[at + 2:]


class HandoverTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.token = secrets.token_hex(8)
        # Text beyond ASCII: the handover road hands the kernel 8-bit text, with a blank for it.
        cls.cmdline = f"console=ttyS0 panic=-1 korvane.token={cls.token} korvane.name=Gödel"
        cls.narrowed = cls.cmdline.replace("ö", " ")
        with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
            kernel = Path(tmp) / "vmlinuz"
            kernel.write_bytes(legacy_copy(linux_guest.debian_kernel().read_bytes()))
            uki = images.build_uki(Path(tmp) / "linux.efi", linux=kernel, cmdline=cls.cmdline,
                                   initrd=linux_guest.busybox_initrd(init_script(cls.token)))
            cls.initrd_size = len(images.pe_sections(uki.read_bytes())[".initrd"])
            with vmrun.Machine(name="handover") as vm:
                vm.boot_efi(uki)
                cls.result = vm.run(timeout=300)
        cls.text = cls.result.text()
        cls.reports = linux_guest.reports(cls.text)

    def test_init_of_the_images_initrd_runs_and_powers_off(self):
        self.assertEqual(self.reports.get("token"), [self.token], self.text)
        self.assertEqual(self.result.returncode, 0, self.text)

    def test_init_sees_the_command_line_narrowed_to_ascii(self):
        self.assertEqual(self.reports.get("cmdline"), [self.narrowed], self.text)
        self.assertIn(f"Kernel command line: {self.narrowed}", self.text)

    def test_kernel_keeps_the_stubs_boot_parameters(self):
        dumps = self.reports.get("boot-params", [])
        self.assertEqual(len(dumps), 1, self.text)
        params = bytes.fromhex(dumps[0])
        self.assertEqual(len(params), 640)
        self.assertEqual(params[TYPE_OF_LOADER], LOADER_UNDEFINED)
        ramdisk_size = struct.unpack_from("<I", params, RAMDISK_SIZE)[0]
        ramdisk_size |= struct.unpack_from("<I", params, EXT_RAMDISK_SIZE)[0] << 32
        self.assertEqual(ramdisk_size, self.initrd_size)

    def test_initrd_did_not_come_through_loadfile2(self):
        self.assertNotIn(LOADFILE2_INITRD_MESSAGE, self.text)


if __name__ == "__main__":
    unittest.main(verbosity=2)
