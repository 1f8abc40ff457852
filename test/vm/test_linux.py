#!/usr/bin/env python3
"""Debian's kernel in a UKI with a busybox initrd, booted by the firmware itself: the kernel
starts from the stub, finds its initrd, and its init sees the image's .cmdline as
/proc/cmdline, then powers the machine off."""

import secrets
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import linux_guest  # noqa: E402
import vmrun  # noqa: E402


class DebianKernelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A fresh token, so that only this boot can print this line; and text beyond ASCII.
        cls.cmdline = f"console=ttyS0 panic=-1 korvane.token={secrets.token_hex(8)} korvane.name=Gödel"
        kernel = linux_guest.debian_kernel()
        with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
            uki = images.build_uki(Path(tmp) / "linux.efi", linux=kernel, cmdline=cls.cmdline,
                                   initrd=linux_guest.cmdline_initrd())
            with vmrun.Machine(name="linux") as vm:
                vm.boot_efi(uki)
                cls.result = vm.run(timeout=300)

    def test_init_sees_the_embedded_command_line(self):
        self.assertEqual(linux_guest.reported_cmdlines(self.result.text()), [self.cmdline], self.result.text())

    def test_kernel_reports_the_same_command_line(self):
        self.assertIn(f"Kernel command line: {self.cmdline}", self.result.text())

    def test_machine_powers_off(self):
        self.assertEqual(self.result.returncode, 0, self.result.text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
