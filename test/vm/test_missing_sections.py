#!/usr/bin/env python3
"""Images that lack a part, started one after the other by the launcher in one boot: the bare
stub, which has no .linux, must fail with EFI_NOT_FOUND and say so; a UKI without .initrd must
start the probe with no LoadFile2 provider for the initrd at all."""

import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import reports  # noqa: E402
import vmrun  # noqa: E402

NO_LINUX_MESSAGE = "Image lacks .linux section."


class MissingSectionsTest(unittest.TestCase):
    CMDLINE = "korvane.probe=no-initrd"

    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
            no_initrd = images.build_uki(Path(tmp) / "no-initrd.efi", linux=images.probe(), cmdline=cls.CMDLINE)
            with vmrun.Machine(name="missing-sections") as vm:
                # korvane-uki refuses to build an image without a kernel; the stub alone is one.
                images.install_launcher(vm, images.Launch(images.stub(), "no-linux.efi"),
                                        images.Launch(no_initrd, "no-initrd.efi"))
                cls.result = vm.run(timeout=180)
        text = cls.result.text()
        cls.launcher = reports.only_report(text, "LAUNCHER", unfinished=True)
        cls.probe = reports.only_report(text, "PROBE")

    def test_image_without_linux_returns_not_found(self):
        self.assertEqual(self.launcher.status("image.0.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.launcher.status("image.0.start-status"), images.EFI_NOT_FOUND)

    def test_image_without_linux_says_why_while_it_runs(self):
        lines = self.result.lines()
        started = lines.index("LAUNCHER image.0.load-status=0x0000000000000000")
        returned = next(i for i, line in enumerate(lines) if line.startswith("LAUNCHER image.0.start-status="))
        messages = [line for line in lines[started + 1:returned] if line]
        self.assertEqual(len(messages), 1, self.result.text())
        self.assertTrue(messages[0].endswith(": " + NO_LINUX_MESSAGE), messages[0])

    def test_image_without_initrd_offers_no_initrd_provider(self):
        self.assertEqual(self.launcher.status("image.1.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.probe.status("initrd.locate-status"), images.EFI_NOT_FOUND)
        self.assertFalse(self.probe.flag("initrd.provider"))
        self.assertNotIn("initrd.size", self.probe)

    def test_image_without_initrd_still_gets_its_command_line(self):
        self.assertEqual(self.probe.bytes("load-options.hex"), images.utf16_load_options(self.CMDLINE))
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
