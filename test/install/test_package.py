#!/usr/bin/env python3
"""The Debian package that cpack makes: its name, dependencies, files and configuration
files; the tool in it finds its stub without --stub, the hooks in /etc reach the script
it installs, and its manual page reads without warnings."""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import staging  # noqa: E402

CONFFILES = ["/etc/kernel/postinst.d/zz-korvane-uki", "/etc/kernel/postrm.d/zz-korvane-uki",
             "/etc/initramfs/post-update.d/korvane-uki", "/etc/korvane/uki.conf"]
# Every file of the package and its mode.
FILES = {
    "usr/bin/korvane-uki": "-rwxr-xr-x",
    "usr/lib/korvane/korvane-stub-x64.efi": "-rw-r--r--",
    "usr/lib/korvane/korvane-addon-x64.efi": "-rw-r--r--",
    "usr/lib/korvane/kernel-hook": "-rwxr-xr-x",
    "usr/share/man/man1/korvane-uki.1.gz": "-rw-r--r--",
    "etc/kernel/postinst.d/zz-korvane-uki": "-rwxr-xr-x",
    "etc/kernel/postrm.d/zz-korvane-uki": "-rwxr-xr-x",
    "etc/initramfs/post-update.d/korvane-uki": "-rwxr-xr-x",
    "etc/korvane/uki.conf": "-rw-r--r--",
}


def checked(args: list, **kwargs) -> str:
    proc = staging.run(args, **kwargs)
    if proc.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, args))} failed ({proc.returncode}): {proc.stderr}")
    return proc.stdout


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="korvane-package-")
        folder = Path(cls.tmp.name)
        checked(["cpack", "-G", "DEB", "--config", staging.build_dir() / "CPackConfig.cmake", "-B", folder])
        debs = list(folder.glob("*.deb"))
        assert len(debs) == 1, debs
        cls.deb, cls.root = debs[0], folder / "root"
        checked(["dpkg-deb", "-x", cls.deb, cls.root])
        checked(["dpkg-deb", "-e", cls.deb, folder / "control"])
        cls.conffiles = (folder / "control" / "conffiles").read_text().split()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def field(self, name: str) -> str:
        return checked(["dpkg-deb", "-f", self.deb, name]).strip()

    def test_name_and_dependencies(self):
        self.assertEqual(self.field("Package"), "korvane-boot")
        self.assertEqual(self.field("Architecture"), "amd64")
        depends = [d.split()[0] for d in self.field("Depends").split(", ")]
        for library in ("libc6", "libssl3", "libstdc++6"):
            self.assertIn(library, depends)

    def test_files_and_modes(self):
        listing = checked(["dpkg-deb", "-c", self.deb])
        files = {}
        for line in listing.splitlines():
            mode, *_, path = line.split()
            if not mode.startswith("d"):
                files[path.removeprefix("./")] = mode
        self.assertEqual(files, FILES)

    def test_everything_in_etc_is_a_configuration_file(self):
        self.assertEqual(sorted(self.conffiles), sorted(CONFFILES))

    def test_the_tool_finds_its_stub(self):
        out = Path(self.tmp.name) / "uki.efi"
        kernel = staging.build_dir() / "korvane-probe-x64.efi"
        checked([self.root / "usr/bin/korvane-uki", "build", "--linux", kernel, "--cmdline", "quiet", "-o", out])
        stub = (self.root / "usr/lib/korvane/korvane-stub-x64.efi").read_bytes()
        # The image starts with the stub's DOS header and stub program.
        self.assertEqual(out.read_bytes()[:0x40], stub[:0x40])

    def test_hooks_reach_the_installed_script(self):
        for conffile in CONFFILES[:3]:
            proc = staging.run([self.root / conffile.lstrip("/")], env={"KORVANE_ROOT": str(self.root)})
            self.assertEqual(proc.returncode, 1)
            self.assertRegex(proc.stderr, rf"\Akorvane-uki: usage: {self.root}/usr/lib/korvane/kernel-hook "
                                          r"install\|initramfs\|remove VERSION \[FILE\]\n\Z")

    def test_manual_page_reads_without_warnings(self):
        proc = staging.run(["man", "--warnings", "-l", self.root / "usr/share/man/man1/korvane-uki.1.gz"],
                           env={"MANWIDTH": "80", "PATH": "/usr/bin:/bin"})
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stderr, "")
        self.assertIn("--secureboot-private-key", proc.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
