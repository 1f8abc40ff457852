#!/usr/bin/env python3
"""Where the kernel command line comes from, on firmware with a software TPM (SHA-1, SHA-256 and
SHA-384 banks), and how each text from outside the image is measured into PCR 12:

- Secure Boot on, an image with .cmdline: the caller's load options are ignored and not
  measured; the SMBIOS OEM string's text is appended and measured.
- Secure Boot off, through the launcher: an image asked for a profile it lacks fails; then one
  started with shell arguments boots the profile the first names with the rest joined by blanks.
"""

import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import measured_boot as mb  # noqa: E402
import reports  # noqa: E402
import vmrun  # noqa: E402

OEM_STRING = "io.korvane.stub.kernel-cmdline-extra=debug"
LIGHT_RED = 0x0C  # the text attribute of error messages


def boot(vm: vmrun.Machine, *launches: images.Launch) -> tuple[vmrun.VmResult, reports.Report, reports.Report]:
    images.install_launcher(vm, *launches)
    result = vm.run(timeout=240)
    text = result.text()
    # The probe ends the machine while the launcher waits for it.
    return result, reports.only_report(text, "LAUNCHER", unfinished=True), reports.only_report(text, "PROBE")


class SecureBootCommandLineTest(unittest.TestCase, mb.MeasuredBootChecks):
    CMDLINE = "korvane.probe=secure-boot"

    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
            unsigned = images.build_uki(Path(tmp) / "uki.efi", linux=images.probe(), cmdline=cls.CMDLINE)
            signed = vmrun.sign_efi(unsigned, Path(tmp) / "signed.efi")
            cls.image = signed.read_bytes()
            with vmrun.Machine(secure_boot=True, tpm=True, smbios=(f"type=11,value={OEM_STRING}",),
                               name="cmdline-sb") as vm:
                cls.result, cls.launcher, cls.probe = boot(
                    vm, images.Launch(signed, "uki.efi", images.utf16_load_options("rw")))

    def test_signed_image_boots_under_secure_boot(self):
        self.assertEqual(self.launcher.status("image.0.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.probe.raw("secure-boot"), "01")
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())

    def test_embedded_line_wins_and_the_oem_extra_ends_it(self):
        self.assertEqual(self.probe.bytes("load-options.hex"), images.utf16_load_options(f"{self.CMDLINE} debug"))

    def test_only_the_oem_extra_is_measured_into_pcr_12(self):
        expected = mb.section_events(mb.selected_sections(self.image, None)) + [mb.command_line_event("debug")]
        self.assert_measured(expected)


class ProfileAndShellArgumentsTest(unittest.TestCase, mb.MeasuredBootChecks):
    # Shell arguments are joined as they are: the tab stays.
    SHELL_ARGS = ("@1", "a", "b c", "d\te")
    SHELL_LINE = "a b c d\te"

    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
            uki = images.build_uki_from_args(
                Path(tmp) / "uki.efi", "--linux", str(images.probe()), "--cmdline", "root=/dev/vda",
                "--profile", "ID=default", "--profile", "ID=rescue", "--cmdline", "rescue")
            cls.image = uki.read_bytes()
            with vmrun.Machine(tpm=True, name="cmdline-shell") as vm:
                cls.result, cls.launcher, cls.probe = boot(
                    vm, images.Launch(uki, "missing-profile.efi", images.utf16_load_options("@5")),
                    images.Launch(uki, "shell.efi", shell_args=cls.SHELL_ARGS))

    def test_missing_profile_fails_with_not_found(self):
        self.assertEqual(self.launcher.status("image.0.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.launcher.status("image.0.start-status"), images.EFI_NOT_FOUND)
        messages = [line for line in self.result.console_lines()
                    if line.text.endswith(": Unable to locate embedded per-profile PE sections: Not found")]
        self.assertEqual(len(messages), 1, self.result.text())
        self.assertEqual(messages[0].attribute, LIGHT_RED)

    def test_shell_arguments_select_the_profile_and_form_the_line(self):
        self.assertEqual(self.launcher.status("image.1.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())
        self.assertEqual(self.probe.bytes("load-options.hex"), images.utf16_load_options(self.SHELL_LINE))

    def test_only_the_booted_image_is_measured(self):
        # The image that failed measured nothing: its profile lookup comes before any measurement.
        expected = [mb.profile_event(1)] + mb.section_events(mb.selected_sections(self.image, 1))
        expected.append(mb.command_line_event(self.SHELL_LINE))
        self.assert_measured(expected)


if __name__ == "__main__":
    unittest.main(verbosity=2)
