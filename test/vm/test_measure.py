#!/usr/bin/env python3
"""One measured boot, with a software TPM whose SHA-1, SHA-256 and SHA-384 banks are active, of
a two-profile image started with the load options '@1 quiet' on a machine whose SMBIOS OEM
string adds 'debug' to the command line. PCRs 11, 12 and 13 and the firmware's event log must
hold exactly what the test works out from the image file, the load options and the OEM string."""

import random
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


def measured_image(folder: Path) -> Path:
    """Base sections of most kinds, profile 0 with only its .profile, profile 1 with its own
    .cmdline and .initrd."""
    rng = random.Random(11)
    files = {"osrel": b'ID=korvane\nPRETTY_NAME="Korvane Test"\n', "initrd": rng.randbytes(65_537),
             "ucode": rng.randbytes(3_001), "sbat": b"sbat,1,SBAT Version,sbat,1,https://example.org/sbat\n",
             "pcrsig": b'{"sha256":[]}', "pcrpkey": b"-----BEGIN PUBLIC KEY-----\nMFkw\n-----END PUBLIC KEY-----\n",
             "initrd1": rng.randbytes(20_002)}
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return images.build_uki_from_args(
        folder / "uki.efi", "--linux", str(images.probe()), "--os-release", str(folder / "osrel"),
        "--cmdline", "root=/dev/vda ro", "--initrd", str(folder / "initrd"), "--ucode", str(folder / "ucode"),
        "--uname", "6.1.0-korvane", "--sbat", str(folder / "sbat"), "--pcrsig", str(folder / "pcrsig"),
        "--pcrpkey", str(folder / "pcrpkey"),
        "--profile", "ID=default", "--profile", "ID=rescue\nTITLE=Rescue",
        "--cmdline", "rescue", "--initrd", str(folder / "initrd1"))


class ProfileAndCommandLineMeasurementTest(unittest.TestCase, mb.MeasuredBootChecks):
    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
            uki = measured_image(Path(tmp))
            cls.image = uki.read_bytes()
            with vmrun.Machine(tpm=True, smbios=(f"type=11,value={OEM_STRING}",), name="measure") as vm:
                images.install_launcher(vm, images.Launch(uki, "uki.efi", images.utf16_load_options("@1 quiet")))
                cls.result = vm.run(timeout=240)
        text = cls.result.text()
        cls.launcher = reports.only_report(text, "LAUNCHER", unfinished=True)
        cls.probe = reports.only_report(text, "PROBE")

    def test_probe_gets_the_caller_s_line_and_the_oem_extra(self):
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())
        self.assertEqual(self.probe.bytes("load-options.hex"), images.utf16_load_options("quiet debug"))

    def test_tpm_is_there(self):
        self.assertEqual(self.probe.status("tpm.locate-status"), images.EFI_SUCCESS)
        self.assertTrue(self.probe.flag("tpm.present"))

    def test_profile_1_sections_are_what_the_image_file_says(self):
        # Guards the expected values below against a reader that merges the groups wrongly.
        sections = mb.selected_sections(self.image, 1)
        self.assertEqual(sections[".cmdline"], b"rescue")
        self.assertEqual(sections[".profile"], b"ID=rescue\nTITLE=Rescue")
        self.assertEqual(sections[".uname"], b"6.1.0-korvane")
        self.assertIn(".pcrsig", sections)

    def test_pcrs_and_log_hold_sections_profile_and_command_lines(self):
        # The profile number comes before the sections, the caller's line before the OEM extra.
        expected = [mb.profile_event(1)] + mb.section_events(mb.selected_sections(self.image, 1))
        expected += [mb.command_line_event("quiet"), mb.command_line_event("debug")]
        self.assert_measured(expected)

    def test_log_descriptions_name_the_sections_in_order(self):
        names = [e.description() for e in self.log_events() if e.pcr == mb.PCR_SECTIONS]
        expected = [".linux", ".osrel", ".cmdline", ".initrd", ".ucode", ".uname", ".sbat", ".pcrpkey", ".profile"]
        self.assertEqual(names, [name for name in expected for _ in range(2)])

    def test_profile_event_is_tagged(self):
        (event,) = [e for e in self.log_events() if e.pcr == mb.PCR_KERNEL_PARAMETERS and e.type == mb.EV_EVENT_TAG]
        self.assertEqual(event.event_data[:4], mb.TAG_PROFILE_NUMBER.to_bytes(4, "little"))
        self.assertEqual(event.description(), "1")


if __name__ == "__main__":
    unittest.main(verbosity=2)
