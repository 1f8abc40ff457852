#!/usr/bin/env python3
"""Credentials, extension images and add-ons beside a unified kernel image, on firmware with a
software TPM (SHA-1, SHA-256 and SHA-384 banks):

- One boot of the probe through the launcher as \\EFI\\Linux\\uki+3-1.efi, whose sidecar
  directory is uki.efi.extra.d (the boot counter is not part of its name): the initrd the
  probe fetches holds, in hand-over order, the add-ons' microcode (last add-on first), the
  image's .ucode and .initrd, the credentials of the image and of \\loader\\credentials, the
  system and configuration extension images, the files made from .pcrsig, .pcrpkey, .osrel
  and .profile, and the add-ons' initrds; every archive and member as the test packs it itself.
  A credential whose name the firmware lists but will not open is left out with a message.
  The add-ons' command lines end the kernel's, and PCRs 11, 12 and 13 hold what the test
  works out from the image, the archives and the add-ons.
- One boot of Debian's kernel whose init finds a credential under /.extra/credentials and
  an add-on's text in /proc/cmdline.
"""

import hashlib
import random
import re
import secrets
import stat
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import initrd_archives as ia  # noqa: E402
import linux_guest  # noqa: E402
import measured_boot as mb  # noqa: E402
import reports  # noqa: E402
import vmrun  # noqa: E402

# What the stub logs has the form "file:line@function: message".
STUB_MESSAGE = re.compile(r"^\S+:\d+@\w+: ")

UNAME = "6.1.0-korvane"
IMAGE_NAME = "uki+3-1.efi"
EXTRA_DIR = f"{images.ESP_IMAGE_DIR}/uki.efi.extra.d"
GLOBAL_ADDONS = "loader/addons"
GLOBAL_CREDENTIALS = "loader/credentials"
EMBEDDED_CMDLINE = "korvane.probe=sidecars"

CREDENTIAL_MODES = (stat.S_IFDIR | 0o500, stat.S_IFREG | 0o400)
EXTENSION_MODES = (stat.S_IFDIR | 0o555, stat.S_IFREG | 0o444)


def microcode(data: bytes) -> ia.Part:
    """A microcode initrd as the kernel looks for it early."""
    return ia.archive([ia.Member("kernel/x86/microcode/GenuineIntel.bin", 1, stat.S_IFREG | 0o644, data)])


def one_file(name: str, data: bytes) -> ia.Part:
    return ia.archive([ia.Member(name, 1, stat.S_IFREG | 0o644, data)])


class Layout:
    """The image, its sidecar files and the add-ons, with what the stub must make of them."""

    def __init__(self, folder: Path):
        rng = random.Random(1213)
        self.files: dict[str, bytes] = {}
        # Code-unit order: upper case first; the suffix matches whatever its case.
        self.credentials = [("A.cred", b"first credential\n"), ("b.cred", b"pw=hunter2"),
                            ("c.CRED", rng.randbytes(1_001)), ("empty.cred", b"")]
        # The longest name the stub takes (255 units), which OVMF's FAT driver lists but will
        # not open here: with its directory the path passes FAT's 260 units. The stub must say
        # so and pack the others.
        self.unreadable_credential = "c" * 250 + ".cred"
        self.files[f"{EXTRA_DIR}/{self.unreadable_credential}"] = b"unreadable"
        self.global_credentials = [("global.cred", b"from the loader directory")]
        # os.raw takes two reads of the firmware: files are read in chunks of 1 MiB.
        self.sysexts = [("Tools.RAW", rng.randbytes(4_099)), ("os.raw", rng.randbytes(1_048_579))]
        self.confexts = [("base.confext.raw", rng.randbytes(2_050))]
        for name, data in self.credentials + self.sysexts + self.confexts:
            self.files[f"{EXTRA_DIR}/{name}"] = data
        for name, data in self.global_credentials:
            self.files[f"{GLOBAL_CREDENTIALS}/{name}"] = data
        # None of these may be taken: hidden, a directory, other suffixes, the folder named
        # with the boot counter, and credentials in the add-on directory.
        self.files.update({f"{EXTRA_DIR}/.hidden.cred": b"hidden", f"{EXTRA_DIR}/dir.cred/inner.cred": b"inner",
                           f"{EXTRA_DIR}/notes.txt": b"notes", f"{EXTRA_DIR}/image.raw.old": b"old",
                           f"{images.ESP_IMAGE_DIR}/{IMAGE_NAME}.extra.d/decoy.cred": b"decoy",
                           f"{GLOBAL_ADDONS}/stray.cred": b"stray"})

        self.image_ucode = rng.randbytes(3_001)  # no archive, and not a multiple of 4
        self.image_initrd = one_file("init", b"#!/bin/sh\necho base\n")
        self.osrel = b'ID=korvane\nPRETTY_NAME="Korvane Sidecars"\n'
        self.pcrsig = b'{"sha256":[{"pcrs":[11],"sig":"AA=="}]}'
        self.pcrpkey = b"-----BEGIN PUBLIC KEY-----\nMFkwEwYHKoZIzj0CAQ==\n-----END PUBLIC KEY-----\n"
        self.profile = b"ID=default\nTITLE=Default"
        for name, data in (("ucode", self.image_ucode), ("initrd", self.image_initrd.data), ("osrel", self.osrel),
                           ("pcrsig", self.pcrsig), ("pcrpkey", self.pcrpkey), ("profile", self.profile)):
            (folder / name).write_bytes(data)
        self.uki = images.build_uki_from_args(
            folder / "uki.efi", "--linux", str(images.probe()), "--os-release", str(folder / "osrel"),
            "--cmdline", EMBEDDED_CMDLINE, "--initrd", str(folder / "initrd"), "--ucode", str(folder / "ucode"),
            "--uname", UNAME, "--pcrsig", str(folder / "pcrsig"), "--pcrpkey", str(folder / "pcrpkey"),
            "--profile", f"@{folder / 'profile'}")

        # Add-on order: the global directory's in code-unit order (B before a), whatever the
        # case of their suffix, then the image's.
        self.ucode_addons = {"B.addon.efi": microcode(rng.randbytes(2_000)),
                             "a.ADDON.EFI": microcode(rng.randbytes(1_500)),
                             "local.addon.efi": microcode(rng.randbytes(999))}
        self.initrd_addons = {"B.addon.efi": one_file("etc/b.conf", b"b=1\n"),
                              "local.addon.efi": one_file("etc/local.conf", rng.randbytes(333))}
        self.addon_sections = {}
        addons = {
            # Its .uname holds the image's release without the tail (six bytes, no NUL): the
            # comparison stops after the add-on's bytes, so it matches.
            f"{GLOBAL_ADDONS}/B.addon.efi": ["--cmdline", "B=1", "--uname", "6.1.0-"],
            f"{GLOBAL_ADDONS}/a.ADDON.EFI": ["--cmdline", " \ta=2\n", "--uname", UNAME],
            f"{EXTRA_DIR}/local.addon.efi": ["--cmdline", "local=3"],
            f"{GLOBAL_ADDONS}/.hidden.addon.efi": ["--cmdline", "hidden=1"],
            f"{GLOBAL_ADDONS}/old.addon.efi.bak": ["--cmdline", "bak=1"],
            f"{GLOBAL_ADDONS}/dir.addon.efi/inner.addon.efi": ["--cmdline", "inner=1"],
        }
        for path, args in addons.items():
            name = Path(path).name
            for option, parts in (("--ucode", self.ucode_addons), ("--initrd", self.initrd_addons)):
                if name in parts:
                    payload = folder / f"{name}{option}"
                    payload.write_bytes(parts[name].data)
                    args += [option, str(payload)]
            addon = images.build_addon(folder / name, *args)
            self.addon_sections[path] = images.pe_sections(addon.read_bytes())
            self.files[path] = addon.read_bytes()
        self.addon_cmdline = "B=1 a=2 local=3"

    def archives(self) -> dict[str, ia.Part]:
        return {
            "credentials": ia.directory_archive(".extra/credentials", 0o500, self.credentials, 0o400),
            "global-credentials": ia.directory_archive(".extra/global_credentials", 0o500, self.global_credentials,
                                                       0o400),
            "sysext": ia.directory_archive(".extra/sysext", 0o555, self.sysexts, 0o444),
            "confext": ia.directory_archive(".extra/confext", 0o555, self.confexts, 0o444),
        }

    def handover(self) -> list[ia.Part]:
        """The initrd's parts in the order the kernel must receive them."""
        archives = self.archives()
        parts = [self.ucode_addons[name] for name in reversed(list(self.ucode_addons))]
        parts += [ia.raw(self.image_ucode), self.image_initrd, archives["credentials"],
                  archives["global-credentials"], archives["sysext"], archives["confext"]]
        for name, data in (("tpm2-pcr-signature.json", self.pcrsig), ("tpm2-pcr-public-key.pem", self.pcrpkey),
                           ("os-release", self.osrel), ("profile", self.profile)):
            parts.append(ia.directory_archive(".extra", 0o555, [(name, data)], 0o444))
        parts += list(self.initrd_addons.values())
        return parts

    def stub_pcr_events(self) -> list[mb.Event]:
        """PCR 12 and 13 after the sections: the add-ons' command line, the sidecar archives,
        the microcode add-ons last first and the initrd add-ons in order."""
        archives = self.archives()
        events = [mb.command_line_event(self.addon_cmdline),
                  mb.sidecar_archive_event(mb.PCR_KERNEL_PARAMETERS, archives["credentials"].data,
                                           "Credentials initrd"),
                  mb.sidecar_archive_event(mb.PCR_KERNEL_PARAMETERS, archives["global-credentials"].data,
                                           "Global credentials initrd"),
                  mb.sidecar_archive_event(mb.PCR_SYSEXTS, archives["sysext"].data, "System extension initrd"),
                  mb.sidecar_archive_event(mb.PCR_KERNEL_PARAMETERS, archives["confext"].data,
                                           "Configuration extension initrd")]
        events += [mb.addon_event(mb.TAG_UCODE_ADDON, self.ucode_addons[name].data, name)
                   for name in reversed(list(self.ucode_addons))]
        events += [mb.addon_event(mb.TAG_INITRD_ADDON, part.data, name) for name, part in self.initrd_addons.items()]
        return events


class SidecarsAndAddonsTest(unittest.TestCase, mb.MeasuredBootChecks):
    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory(prefix="korvane-sidecars-") as tmp:
            cls.layout = Layout(Path(tmp))
            cls.image = cls.layout.uki.read_bytes()
            with vmrun.Machine(tpm=True, name="sidecars") as vm:
                for path, data in cls.layout.files.items():
                    vm.add_esp_file(path, data)
                images.install_launcher(vm, images.Launch(cls.layout.uki, IMAGE_NAME))
                cls.result = vm.run(timeout=240)
        text = cls.result.text()
        cls.launcher = reports.only_report(text, "LAUNCHER", unfinished=True)
        cls.probe = reports.only_report(text, "PROBE")

    def test_probe_runs_and_the_stub_logs_only_the_unreadable_file(self):
        self.assertEqual(self.launcher.text("image.0.path"), f"\\EFI\\Linux\\{IMAGE_NAME}")
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())
        messages = [STUB_MESSAGE.sub("", line) for line in self.result.lines() if STUB_MESSAGE.match(line)]
        self.assertEqual(len(messages), 1, self.result.text())
        self.assertRegex(messages[0], rf"^Failed to read {self.layout.unreadable_credential}, ignoring: [A-Z][a-z ]+$")

    def test_addon_sections_are_what_the_test_asked_for(self):
        # Guards the expectations below against an add-on builder that pads or terminates.
        sections = self.layout.addon_sections
        self.assertEqual(sections[f"{GLOBAL_ADDONS}/B.addon.efi"][".uname"], b"6.1.0-")
        self.assertEqual(sections[f"{GLOBAL_ADDONS}/a.ADDON.EFI"][".cmdline"], b" \ta=2\n")
        self.assertNotIn(".linux", sections[f"{EXTRA_DIR}/local.addon.efi"])

    def test_addon_command_lines_end_the_kernel_s_in_addon_order(self):
        # Hidden, misnamed and directory add-ons contribute nothing.
        expected = f"{EMBEDDED_CMDLINE} {self.layout.addon_cmdline}"
        self.assertEqual(self.probe.bytes("load-options.hex"), images.utf16_load_options(expected))

    def test_initrd_parts_come_in_hand_over_order(self):
        self.assertEqual(ia.reported_parts(self.probe), ia.expected_report(self.layout.handover()))

    def test_initrd_is_the_parts_byte_for_byte(self):
        expected = ia.combined(self.layout.handover())
        self.assertEqual(self.probe.number("initrd.loaded-size"), len(expected))
        self.assertEqual(self.probe.bytes("initrd.sha256"), hashlib.sha256(expected).digest())

    def test_credentials_and_extensions_have_their_names_and_modes(self):
        # Readable at a glance, beside the byte-for-byte comparison above.
        members = {name: (mode, size) for part in ia.reported_parts(self.probe)
                   for name, _, mode, size, _ in part.members}
        directory, regular = CREDENTIAL_MODES
        self.assertEqual(members[".extra/credentials"], (directory, 0))
        self.assertEqual(members[".extra/credentials/c.CRED"], (regular, 1_001))
        self.assertEqual(members[".extra/credentials/empty.cred"], (regular, 0))
        self.assertEqual(members[".extra/global_credentials/global.cred"], (regular, 25))
        directory, regular = EXTENSION_MODES
        self.assertEqual(members[".extra/sysext/Tools.RAW"], (regular, 4_099))
        self.assertEqual(members[".extra/sysext/os.raw"], (regular, 1_048_579))
        self.assertEqual(members[".extra/confext/base.confext.raw"], (regular, 2_050))
        self.assertNotIn(".extra/sysext/base.confext.raw", members)
        for name in members:
            self.assertNotRegex(name, r"hidden|inner|notes|decoy|stray|\.old$")

    def test_pcrs_hold_sections_addons_and_sidecar_archives(self):
        expected = mb.section_events(mb.selected_sections(self.image, 0)) + self.layout.stub_pcr_events()
        self.assert_measured(expected)


class LinuxSeesCredentialAndAddonTest(unittest.TestCase):
    """Debian's kernel started by the firmware itself: a credential in the image's sidecar
    directory reaches its init as a file, an add-on's text its command line."""

    CREDENTIAL = "hello.cred"
    INIT = linux_guest.init_script(f"""report cmdline "$(cat /proc/cmdline)"
report credential "$(cat /.extra/credentials/{CREDENTIAL})"
report directory-mode "$(stat -c %a /.extra/credentials)"
report mode "$(stat -c %a /.extra/credentials/{CREDENTIAL})"
""")

    @classmethod
    def setUpClass(cls):
        token = secrets.token_hex(8)
        cls.cmdline = f"console=ttyS0 panic=-1 korvane.token={token}"
        cls.addon_cmdline = f"korvane.addon={token}"
        cls.credential = f"secret-{token}"
        with tempfile.TemporaryDirectory(prefix="korvane-linux-sidecars-") as tmp:
            folder = Path(tmp)
            uki = images.build_uki(folder / "linux.efi", linux=linux_guest.debian_kernel(), cmdline=cls.cmdline,
                                   initrd=linux_guest.busybox_initrd(cls.INIT))
            addon = images.build_addon(folder / "cmdline.addon.efi", "--cmdline", cls.addon_cmdline)
            with vmrun.Machine(name="linux-sidecars") as vm:
                vm.boot_efi(uki)
                vm.add_esp_file(f"{vmrun.DEFAULT_BOOT_PATH}.extra.d/{cls.CREDENTIAL}", cls.credential)
                vm.add_esp_file(f"{GLOBAL_ADDONS}/cmdline.addon.efi", addon)
                cls.result = vm.run(timeout=300)
        cls.said = {key: values[-1] for key, values in linux_guest.reports(cls.result.text()).items()}

    def test_init_sees_the_addon_s_text_at_the_end_of_the_command_line(self):
        self.assertEqual(self.said.get("cmdline"), f"{self.cmdline} {self.addon_cmdline}", self.result.text())

    def test_init_reads_the_credential_with_its_modes(self):
        self.assertEqual(self.said.get("credential"), self.credential, self.result.text())
        self.assertEqual((self.said.get("directory-mode"), self.said.get("mode")), ("500", "400"), self.result.text())

    def test_machine_powers_off(self):
        self.assertEqual(self.result.returncode, 0, self.result.text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
