#!/usr/bin/env python3
"""The kernel hook on real firmware: korvane-boot installed into a staging root, configured
with a command line, the snakeoil Secure Boot key and a PCR policy key made by its genkey;
the postinst hook builds the image of Debian's kernel with a busybox initrd on the ESP,
with a signed PCR policy, and signed for Secure Boot by korvane-uki itself. The ESP it
made boots under Secure Boot through the (sbsign-signed) launcher: the firmware accepts the
signature and the kernel's init sees the configured command line. Then the postrm hook
removes the image."""

import json
import secrets
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "install"))
import images  # noqa: E402
import linux_guest  # noqa: E402
import reports  # noqa: E402
import staging  # noqa: E402
import vmrun  # noqa: E402

CONFIG = """SECUREBOOT_PRIVATE_KEY=/etc/korvane/db.key
SECUREBOOT_CERTIFICATE=/etc/korvane/db.crt
PCR_PRIVATE_KEY=/etc/korvane/pcr.key
PCR_PUBLIC_KEY=/etc/korvane/pcr.pub
"""


class KernelHookTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cmdline = f"console=ttyS0 panic=-1 korvane.hook={secrets.token_hex(8)}"
        cls.version = linux_guest.kernel_package().removeprefix("linux-image-")
        cls.kernel = linux_guest.debian_kernel().read_bytes()
        cls.initrd = linux_guest.cmdline_initrd()
        with tempfile.TemporaryDirectory(prefix="korvane-hook-") as tmp:
            system = staging.StagedSystem(Path(tmp), version=cls.version, kernel=cls.kernel, initrd=cls.initrd,
                                          cmdline=cls.cmdline, config=CONFIG)
            keys = system.root / "etc/korvane"
            vmrun.snakeoil_key(keys / "db.key")
            shutil.copyfile(vmrun.SNAKEOIL_CERT, keys / "db.crt")
            genkey = staging.run([system.root / "usr/bin/korvane-uki", "genkey", "--pcr-private-key",
                                  keys / "pcr.key", "--pcr-public-key", keys / "pcr.pub"])
            assert genkey.returncode == 0, genkey.stderr
            cls.pcr_public_key = (keys / "pcr.pub").read_bytes()
            cls.image_path = system.image
            cls.postinst = system.hook("postinst", "configure")
            cls.image = system.image.read_bytes() if system.image.exists() else b""
            esp_path = system.image.relative_to(system.esp).as_posix()
            with vmrun.Machine(secure_boot=True, name="kernel-hook") as vm:
                vm.add_esp_tree(system.esp)
                vm.boot_efi(images.launcher())
                vm.add_esp_file(images.LAUNCHER_LIST, images.launcher_image_line(esp_path))
                cls.result = vm.run(timeout=400)
            cls.postrm = system.hook("postrm", "remove")
            cls.left_on_esp = sorted(p.name for p in system.image.parent.iterdir())

    def test_postinst_builds_a_signed_image_and_says_so(self):
        self.assertEqual(self.postinst.returncode, 0, self.postinst.stderr)
        self.assertEqual(self.postinst.stderr, f"korvane-uki: built {self.image_path} for {self.version}, "
                                               "with a signed PCR policy, signed for Secure Boot\n")

    def test_image_carries_everything_configured(self):
        sections = images.pe_sections(self.image)
        self.assertEqual(sections[".pcrpkey"], self.pcr_public_key)
        self.assertIn("sha256", json.loads(sections[".pcrsig"].rstrip(b" \0")))
        self.assertEqual(sections[".linux"], self.kernel)
        self.assertEqual(sections[".initrd"], self.initrd)
        self.assertEqual(sections[".cmdline"], self.cmdline.encode())
        self.assertEqual(sections[".osrel"], staging.OS_RELEASE.encode())
        self.assertEqual(sections[".uname"], self.version.encode())

    def test_firmware_accepts_the_signature(self):
        launcher = reports.only_report(self.result.text(), "LAUNCHER", unfinished=True)
        self.assertEqual(launcher.status("image.0.load-status"), images.EFI_SUCCESS, self.result.text())

    def test_kernel_gets_the_configured_command_line(self):
        self.assertEqual(linux_guest.reported_cmdlines(self.result.text()), [self.cmdline], self.result.text())
        self.assertEqual(self.result.returncode, 0, self.result.text())

    def test_postrm_removes_the_image(self):
        self.assertEqual(self.postrm.returncode, 0, self.postrm.stderr)
        self.assertEqual(self.postrm.stderr, f"korvane-uki: removed {self.image_path}\n")
        self.assertEqual(self.left_on_esp, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
