#!/usr/bin/env python3
"""Add-ons under Secure Boot with the snakeoil keys and a software TPM, in one boot through the
(signed) launcher of a UKI signed by korvane-uki whose \\loader\\addons holds five add-ons:

- good.addon.efi, signed by korvane-uki: its command line ends the kernel's and its initrd is
  the kernel's;
- otherkey.addon.efi, signed by korvane-uki with a key the firmware does not trust: refused;
- uki.addon.efi, a signed UKI: refused as no add-on;
- uname.addon.efi, signed, for another kernel release: refused for its .uname;
- unsigned.addon.efi: the firmware refuses to load it, the stub says so and boots on.

The launcher first loads the unsigned add-on itself, so that the test learns the firmware's
verdict on it independently of the stub. Only the good add-on is measured into PCR 12.
"""

import hashlib
import re
import stat
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import initrd_archives as ia  # noqa: E402
import measured_boot as mb  # noqa: E402
import reports  # noqa: E402
import vmrun  # noqa: E402

UNAME = "6.1.0-korvane"
EMBEDDED_CMDLINE = "korvane.probe=addons"
ADDONS = "\\loader\\addons"
# What the stub logs has the form "file:line@function: message".
STUB_MESSAGE = re.compile(r"^\S+:\d+@\w+: ")
LIGHT_RED = 0x0C  # the text attribute of error messages
# The texts of the statuses the firmware refuses images with.
STATUS_TEXTS = {images.EFI_ACCESS_DENIED: "Access denied", images.EFI_SECURITY_VIOLATION: "Security violation"}


class SecureBootAddonsTest(unittest.TestCase, mb.MeasuredBootChecks):
    @classmethod
    def setUpClass(cls):
        cls.good_initrd = ia.archive([ia.Member("etc/good.conf", 1, stat.S_IFREG | 0o644, b"good=yes\n")])
        with tempfile.TemporaryDirectory(prefix="korvane-addons-") as tmp:
            folder = Path(tmp)
            (folder / "good.initrd").write_bytes(cls.good_initrd.data)
            trusted = images.signing_options(vmrun.snakeoil_key(folder / "db.key"), vmrun.SNAKEOIL_CERT)
            untrusted = images.signing_options(*images.make_signing_key(folder / "other"))
            signed_uki = images.build_uki_from_args(folder / "uki.efi", "--linux", str(images.probe()),
                                                    "--cmdline", EMBEDDED_CMDLINE, "--uname", UNAME, *trusted)
            cls.image = signed_uki.read_bytes()
            unsigned = images.build_addon(folder / "unsigned.addon.efi", "--cmdline", "unsigned=1",
                                          "--initrd", str(folder / "good.initrd"))
            addons = {
                "good.addon.efi": images.build_addon(folder / "good.addon.efi", "--cmdline", "good=1",
                                                     "--initrd", str(folder / "good.initrd"), "--uname", UNAME,
                                                     *trusted),
                "otherkey.addon.efi": images.build_addon(folder / "otherkey.addon.efi", "--cmdline", "otherkey=1",
                                                         *untrusted),
                "uki.addon.efi": vmrun.sign_efi(
                    images.build_uki_from_args(folder / "uki.addon.efi", "--linux", str(images.probe()),
                                               "--cmdline", "uki=1"), folder / "signed-uki.addon.efi"),
                "uname.addon.efi": images.build_addon(folder / "uname.addon.efi", "--cmdline", "uname=1",
                                                      "--uname", "6.1.1", *trusted),
                "unsigned.addon.efi": unsigned,
            }
            with vmrun.Machine(secure_boot=True, tpm=True, name="addons-sb") as vm:
                for name, addon in addons.items():
                    vm.add_esp_file(f"{ADDONS}/{name}", addon)
                images.install_launcher(vm, images.Launch(unsigned, "unsigned.addon.efi"),
                                        images.Launch(signed_uki, "uki.efi"))
                cls.result = vm.run(timeout=240)
        text = cls.result.text()
        cls.launcher = reports.only_report(text, "LAUNCHER", unfinished=True)
        cls.probe = reports.only_report(text, "PROBE")

    def stub_messages(self) -> list[vmrun.ConsoleLine]:
        return [line for line in self.result.console_lines() if STUB_MESSAGE.match(line.text)]

    def assert_error_message(self, message: str):
        found = [line for line in self.stub_messages() if line.text.endswith(f": {message}")]
        self.assertEqual(len(found), 1, f"{message!r} in\n{self.result.text()}")
        self.assertEqual(found[0].attribute, LIGHT_RED)

    def test_firmware_refuses_the_unsigned_addon_and_boots_the_signed_uki(self):
        self.assertIn(self.launcher.status("image.0.load-status"), STATUS_TEXTS)
        self.assertEqual(self.launcher.status("image.1.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.probe.raw("secure-boot"), "01")
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())

    def test_unsigned_addon_is_refused_with_the_firmware_s_status(self):
        status = STATUS_TEXTS[self.launcher.status("image.0.load-status")]
        self.assert_error_message(
            f"Failed to read 'unsigned.addon.efi' from '{ADDONS}\\unsigned.addon.efi', ignoring: {status}")

    def test_addon_signed_with_an_untrusted_key_is_refused(self):
        status = STATUS_TEXTS[self.launcher.status("image.0.load-status")]
        self.assert_error_message(
            f"Failed to read 'otherkey.addon.efi' from '{ADDONS}\\otherkey.addon.efi', ignoring: {status}")

    def test_uki_among_the_addons_is_refused(self):
        self.assert_error_message("uki.addon.efi is a UKI, not an addon, ignoring.")

    def test_addon_for_another_kernel_release_is_skipped(self):
        self.assert_error_message(".uname mismatch between uname.addon.efi and UKI, ignoring")

    def test_these_are_the_only_messages(self):
        self.assertEqual(len(self.stub_messages()), 4, self.result.text())

    def test_only_the_good_addon_s_command_line_is_appended(self):
        self.assertEqual(self.probe.bytes("load-options.hex"), images.utf16_load_options(f"{EMBEDDED_CMDLINE} good=1"))

    def test_only_the_good_addon_s_initrd_is_handed_over_as_it_is(self):
        self.assertEqual(self.probe.number("initrd.loaded-size"), len(self.good_initrd.data))
        self.assertEqual(self.probe.bytes("initrd.sha256"), hashlib.sha256(self.good_initrd.data).digest())
        self.assertEqual(ia.reported_parts(self.probe), ia.expected_report([self.good_initrd]))

    def test_only_the_good_addon_is_measured(self):
        expected = mb.section_events(mb.selected_sections(self.image, None))
        expected += [mb.command_line_event("good=1"),
                     mb.addon_event(mb.TAG_INITRD_ADDON, self.good_initrd.data, "good.addon.efi")]
        self.assert_measured(expected)


if __name__ == "__main__":
    unittest.main(verbosity=2)
