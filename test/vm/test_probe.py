#!/usr/bin/env python3
"""Boots unified kernel images built with korvane-uki from the stub and the probe, through the
launcher, and checks what the probe received as a kernel would: its load options, its initrd
through LoadFile2, the device path it was loaded under, and that image authentication was left
as the firmware had it."""

import hashlib
import random
import re
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import reports  # noqa: E402
import vmrun  # noqa: E402

# What the stub logs has the form "file:line@function: message".
STUB_MESSAGE = re.compile(r"^\S+:\d+@\w+: ")


class ProbeBoot:
    """One boot of a UKI of the stub, the probe and the given sections, through the launcher."""

    def __init__(self, name: str, **sections):
        with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
            uki = images.build_uki(Path(tmp) / "uki.efi", linux=images.probe(), **sections)
            self.sections = images.pe_sections(uki.read_bytes())
            with vmrun.Machine(name=name) as vm:
                images.install_launcher(vm, images.Launch(uki, "uki.efi"))
                self.result = vm.run(timeout=180)
        text = self.result.text()
        # The probe ends the machine while the launcher waits for it.
        self.launcher = reports.only_report(text, "LAUNCHER", unfinished=True)
        self.probe = reports.only_report(text, "PROBE")


class CommandLineAndInitrdTest(unittest.TestCase):
    """.cmdline and one .initrd: the probe gets both unchanged, the initrd in place."""

    # Non-ASCII text on the way from UTF-8 in the section to UTF-16 load options.
    CMDLINE = "root=/dev/vda rw korvane.probe=cmdline-and-initrd name=Gödel price=20€"

    @classmethod
    def setUpClass(cls):
        # An odd size: a single initrd is handed over as it is, without padding.
        cls.initrd = random.Random(1).randbytes(100_003)
        cls.boot = ProbeBoot("probe-cmdline-initrd", cmdline=cls.CMDLINE, initrd=cls.initrd)
        cls.result, cls.launcher, cls.probe = cls.boot.result, cls.boot.launcher, cls.boot.probe

    def test_probe_is_started_and_ends_the_run(self):
        self.assertEqual(self.launcher.status("image.0.load-status"), images.EFI_SUCCESS)
        self.assertNotIn("image.0.start-status", self.launcher)
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())

    def test_stub_logs_nothing_on_a_good_boot(self):
        self.assertEqual([line for line in self.result.lines() if STUB_MESSAGE.match(line)], [])

    def test_load_options_are_the_command_line_in_utf16_with_its_nul(self):
        expected = images.utf16_load_options(self.CMDLINE)
        self.assertEqual(self.probe.bytes("load-options.hex"), expected)
        self.assertEqual(self.probe.number("load-options.size"), len(expected))
        self.assertEqual(self.probe.text("load-options.text"), self.CMDLINE)

    def test_initrd_is_served_through_load_file2_in_two_calls(self):
        self.assertEqual(self.probe.status("initrd.locate-status"), images.EFI_SUCCESS)
        self.assertTrue(self.probe.flag("initrd.provider"))
        self.assertEqual(self.probe.status("initrd.size-status"), images.EFI_BUFFER_TOO_SMALL)
        self.assertEqual(self.probe.number("initrd.size"), len(self.initrd))
        self.assertEqual(self.probe.status("initrd.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.probe.number("initrd.loaded-size"), len(self.initrd))

    def test_initrd_is_the_initrd_section_byte_for_byte(self):
        self.assertEqual(self.boot.sections[".initrd"], self.initrd)
        self.assertEqual(self.probe.bytes("initrd.sha256"), hashlib.sha256(self.initrd).digest())

    def test_kernel_is_loaded_under_the_payload_device_path(self):
        expected = images.vendor_media_device_path(images.KERNEL_PAYLOAD_VENDOR_GUID)
        self.assertEqual(self.probe.bytes("image.device-path"), expected)

    def test_image_authentication_is_the_firmware_s_own(self):
        self.assertIn(self.probe.raw("secure-boot"), ("none", "00"))
        self.assertFalse(self.probe.flag("security-arch.hook-in-parent"))
        self.assertFalse(self.probe.flag("security2-arch.hook-in-parent"))
        # Without Secure Boot the unsigned image loads: it is a good image.
        self.assertEqual(self.probe.status("unsigned-image.load-status"), images.EFI_SUCCESS)


class MicrocodeAndInitrdTest(unittest.TestCase):
    """.ucode and .initrd: one initrd, the microcode first, each part zero-filled to a multiple of 4."""

    @classmethod
    def setUpClass(cls):
        rng = random.Random(2)
        cls.ucode, cls.initrd = rng.randbytes(1_001), rng.randbytes(5_002)
        boot = ProbeBoot("probe-ucode-initrd", ucode=cls.ucode, initrd=cls.initrd)
        cls.result, cls.launcher, cls.probe = boot.result, boot.launcher, boot.probe

    def test_probe_is_started_and_ends_the_run(self):
        self.assertEqual(self.launcher.status("image.0.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())

    def test_initrd_is_microcode_then_initrd_each_padded_to_4(self):
        expected = images.padded4(self.ucode) + images.padded4(self.initrd)
        self.assertTrue(self.probe.flag("initrd.provider"))
        self.assertEqual(self.probe.number("initrd.size"), len(expected))
        self.assertEqual(self.probe.number("initrd.loaded-size"), len(expected))
        self.assertEqual(self.probe.bytes("initrd.sha256"), hashlib.sha256(expected).digest())

    def test_no_command_line_means_no_load_options(self):
        self.assertEqual(self.probe.number("load-options.size"), 0)
        self.assertNotIn("load-options.hex", self.probe)


if __name__ == "__main__":
    unittest.main(verbosity=2)
