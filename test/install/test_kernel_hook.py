#!/usr/bin/env python3
"""The kernel hook's rules, in a staging root without firmware: which package actions it
acts on, one line per action, and clear failures that leave the image already on the ESP
as it was and no temporary file beside it. (test/vm/test_kernel_hook.py boots what it
builds.)"""

import dataclasses
import re
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import staging  # noqa: E402

VERSION = "6.1.0-9-amd64"
CMDLINE = "root=/dev/sda2 quiet"
PREVIOUS = b"the image an earlier hook built"


@dataclasses.dataclass(frozen=True)
class Case:
    hook: str
    maintainer_params: str | None
    exit_code: int
    message: str  # the whole standard error; {image}, {boot}, {config} are filled in, ... is any text
    image: str  # "built", "previous" (left as it was) or "absent"
    esp: bool = True  # KORVANE_ESP names the ESP
    config: str = ""
    shell_prefix: str = ""
    initrd: bool = True


BUILT = "korvane-uki: built {image} for " + VERSION + "\n"
CASES = {
    "kernel configured": Case("postinst", "configure", 0, BUILT, "built"),
    "run by hand": Case("postinst", None, 0, BUILT, "built"),
    "initramfs updated": Case("initramfs", None, 0, BUILT, "built"),
    "initramfs made inside the kernel's configure": Case(
        "initramfs", "configure", 0, "", "previous", shell_prefix="export INITRAMFS_TOOLS_KERNEL_HOOK=1"),
    "kernel removed": Case("postrm", "remove", 0, "korvane-uki: removed {image}\n", "absent"),
    "kernel upgraded to the same version": Case("postrm", "upgrade", 0, "", "previous"),
    "no initrd": Case("postinst", "configure", 1,
                      f"korvane-uki: cannot build the image of {VERSION}: no initrd {{boot}}/initrd.img-{VERSION}\n",
                      "previous", initrd=False),
    "no ESP": Case("postinst", "configure", 1,
                   "korvane-uki: no ESP: none of /efi, /boot/efi and /boot is a mounted vfat file system with an"
                   " EFI directory (set ESP= in {config})\n", "previous", esp=False),
    "kernel removed, no ESP": Case("postrm", "remove", 0,
                                   "korvane-uki: no ESP: none of /efi, /boot/efi and /boot is a mounted vfat file system"
                                   " with an EFI directory (set ESP= in {config}); nothing removed\n", "previous",
                                   esp=False),
    # A write fails when the file reaches the size limit, as it does on a full ESP.
    "ESP full": Case("postinst", "configure", 1,
                     "korvane-uki: cannot build {image}: {image}: cannot ...: File too large\n", "previous",
                     shell_prefix="ulimit -f 64; trap '' XFSZ"),
    "unknown configuration key": Case("postinst", "configure", 1, "korvane-uki: {config}:2: unknown key SECUREBOOT\n",
                                      "previous", config="# signing\nSECUREBOOT=yes\n"),
    "key without certificate": Case(
        "postinst", "configure", 1,
        "korvane-uki: {config}: SECUREBOOT_PRIVATE_KEY and SECUREBOOT_CERTIFICATE go together\n", "previous",
        config="SECUREBOOT_PRIVATE_KEY=/etc/korvane/db.key\n"),
    "PCR public key without its private key": Case(
        "postinst", "configure", 1, "korvane-uki: {config}: PCR_PUBLIC_KEY needs PCR_PRIVATE_KEY\n", "previous",
        config="PCR_PUBLIC_KEY=/etc/korvane/pcr.pub\n"),
}


class KernelHookRules(unittest.TestCase):
    def test_cases(self):
        kernel = (staging.build_dir() / "korvane-probe-x64.efi").read_bytes()
        initrd = b"an initrd" * 1000
        for label, case in CASES.items():
            with self.subTest(label), tempfile.TemporaryDirectory(prefix="korvane-hook-") as tmp:
                system = staging.StagedSystem(Path(tmp), version=VERSION, kernel=kernel, initrd=initrd,
                                              cmdline=CMDLINE, config=case.config)
                if not case.initrd:
                    (system.boot / f"initrd.img-{VERSION}").unlink()
                system.image.parent.mkdir()
                system.image.write_bytes(PREVIOUS)

                proc = system.hook(case.hook, case.maintainer_params, esp=case.esp, shell_prefix=case.shell_prefix)
                config = system.root / "etc/korvane/uki.conf"
                expected = case.message.format(image=system.image, boot=system.boot, config=config)
                self.assertRegex(proc.stderr, r"\A" + ".*".join(map(re.escape, expected.split("..."))) + r"\Z")
                self.assertEqual(proc.returncode, case.exit_code)
                self.assertEqual(proc.stdout, "")
                if case.image == "absent":
                    self.assertEqual(list(system.image.parent.iterdir()), [])
                    continue
                self.assertEqual([p.name for p in system.image.parent.iterdir()], [system.image.name])
                if case.image == "previous":
                    self.assertEqual(system.image.read_bytes(), PREVIOUS)
                    continue
                image = system.image.read_bytes()
                self.assertIn(CMDLINE.encode(), image)
                self.assertIn(staging.OS_RELEASE.encode(), image)
                self.assertIn(initrd, image)


if __name__ == "__main__":
    unittest.main(verbosity=2)
