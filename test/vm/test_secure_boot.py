#!/usr/bin/env python3
"""Secure Boot with the snakeoil keys, in one boot through the (signed) launcher: the firmware
refuses the unsigned UKI; the signed one starts the unsigned probe embedded in it, the
caller's load options give way to its .cmdline, and once the probe runs the firmware's image
authentication is back in force: the probe's own LoadImage of an unsigned image is refused."""

import hashlib
import random
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import reports  # noqa: E402
import vmrun  # noqa: E402

# How the firmware's LoadImage refuses an image: not loaded at all, or loaded but not startable.
REFUSALS = (images.EFI_ACCESS_DENIED, images.EFI_SECURITY_VIOLATION)


class SecureBootTest(unittest.TestCase):
    CMDLINE = "korvane.probe=secure-boot"
    CALLER_OPTIONS = "rw"

    @classmethod
    def setUpClass(cls):
        cls.initrd = random.Random(3).randbytes(4_099)
        with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
            unsigned = images.build_uki(Path(tmp) / "uki.efi", linux=images.probe(), cmdline=cls.CMDLINE,
                                        initrd=cls.initrd)
            signed = vmrun.sign_efi(unsigned, Path(tmp) / "signed.efi")
            with vmrun.Machine(secure_boot=True, name="secure-boot") as vm:
                images.install_launcher(
                    vm, images.Launch(unsigned, "unsigned.efi"),
                    images.Launch(signed, "signed.efi", images.utf16_load_options(cls.CALLER_OPTIONS)))
                cls.result = vm.run(timeout=240)
        text = cls.result.text()
        cls.launcher = reports.only_report(text, "LAUNCHER", unfinished=True)
        cls.probe = reports.only_report(text, "PROBE")

    def test_firmware_refuses_the_unsigned_uki(self):
        self.assertIn(self.launcher.status("image.0.load-status"), REFUSALS)
        self.assertNotIn("image.0.start-status", self.launcher)

    def test_signed_uki_starts_the_unsigned_probe(self):
        self.assertEqual(self.launcher.status("image.1.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.probe.raw("secure-boot"), "01")
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())

    def test_embedded_command_line_beats_the_caller_s(self):
        self.assertEqual(self.probe.bytes("load-options.hex"), images.utf16_load_options(self.CMDLINE))

    def test_initrd_is_served(self):
        self.assertEqual(self.probe.number("initrd.loaded-size"), len(self.initrd))
        self.assertEqual(self.probe.bytes("initrd.sha256"), hashlib.sha256(self.initrd).digest())

    def test_probe_cannot_load_an_unsigned_image(self):
        self.assertIn(self.probe.status("unsigned-image.load-status"), REFUSALS)

    def test_no_authentication_hook_points_into_the_stub(self):
        # The override's validator would refuse the probe's image too, by its address; so only
        # where the hooks point shows whether the override was taken down.
        self.assertTrue(self.probe.flag("security-arch") or self.probe.flag("security2-arch"))
        for protocol in ("security-arch", "security2-arch"):
            if self.probe.flag(protocol):
                self.assertFalse(self.probe.flag(f"{protocol}.hook-in-parent"), protocol)


if __name__ == "__main__":
    unittest.main(verbosity=2)
