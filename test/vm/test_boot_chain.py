#!/usr/bin/env python3
"""The boot chains people run, with Debian's own tools, one Linux boot each:

- dracut builds the unified kernel image (`dracut --uefi --uefi-stub`, which adds sections at
  fixed addresses with objcopy), and it boots with dracut's command line;
- shim (Debian's shim-unsigned, signed with the test key) starts our signed image as its
  second stage under Secure Boot, the image built without --sbat; a signed add-on is applied
  through shim's verification, an unsigned one refused;
- GRUB chainloads the image with arguments, and the kernel gets them tidied; with a TPM,
  tpm2_eventlog parses the event log that the kernel sees, and its replay of PCRs 11 and 12
  is what the kernel reads from the TPM, and what this test computes from the image.
"""

import re
import secrets
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import linux_guest  # noqa: E402
import measured_boot  # noqa: E402
import vmrun  # noqa: E402

SHIM = Path("/usr/lib/shim/shimx64.efi")
PCRS = (measured_boot.PCR_SECTIONS, measured_boot.PCR_KERNEL_PARAMETERS)


def run(*args) -> str:
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        raise AssertionError(f"{args[0]} failed ({proc.returncode}): {proc.stdout}{proc.stderr}")
    return proc.stdout


def token() -> str:
    """A fresh value for a command line, so that only this boot can report it."""
    return secrets.token_hex(6)


def section_addresses(image: bytes) -> dict[str, int]:
    """The VirtualAddress of each section of a PE image, by name."""
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    count, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional_size
    return {struct.unpack_from("<8s", image, table + 40 * i)[0].rstrip(b"\0").decode():
            struct.unpack_from("<I", image, table + 40 * i + 12)[0] for i in range(count)}


class DracutImage(unittest.TestCase):
    """dracut's image, the stub being its --uefi-stub, booted by the firmware. The initrd is
    dracut's own with our init added, which the kernel runs instead of dracut's (rdinit=)."""

    @classmethod
    def setUpClass(cls):
        cls.cmdline = f"console=ttyS0 panic=-1 rdinit=/korvane-init korvane.token={token()}"
        kernel = linux_guest.debian_kernel()
        release = kernel.parent.name.removeprefix("linux-image-")
        with tempfile.TemporaryDirectory(prefix="korvane-dracut-") as tmp:
            init, uki = Path(tmp) / "init", Path(tmp) / "dracut.efi"
            init.write_text(linux_guest.CMDLINE_INIT)
            init.chmod(0o755)
            # dracut's base module and no kernel modules: the kernel has what this boot needs built in.
            run("dracut", "--uefi", "--uefi-stub", images.stub(), "--kernel-image", kernel, "--no-kernel",
                "--no-hostonly", "--modules", "base", "--no-compress", "--no-early-microcode", "--nostrip",
                "--nohardlink", "--include", linux_guest.BUSYBOX, "/bin/busybox", "--include", init, "/korvane-init",
                "--kernel-cmdline", cls.cmdline, "--tmpdir", tmp, "--force", uki, release)
            cls.addresses = section_addresses(uki.read_bytes())
            with vmrun.Machine(name="dracut") as vm:
                vm.boot_efi(uki)
                cls.result = vm.run(timeout=300)

    def test_dracut_places_its_sections_at_its_fixed_addresses(self):
        for name, address in ((".osrel", 0x20000), (".cmdline", 0x30000), (".linux", 0x2000000),
                              (".initrd", 0x3000000)):
            self.assertEqual(self.addresses.get(name), address, name)

    def test_kernel_gets_dracut_s_command_line(self):
        # dracut writes " LINE " with a NUL; the stub hands it over tidied.
        self.assertEqual(linux_guest.reported_cmdlines(self.result.text()), [self.cmdline], self.result.text())
        self.assertEqual(self.result.returncode, 0)


class ShimSecondStage(unittest.TestCase):
    """shim as the firmware's boot image, our image as its grubx64.efi, both signed with the
    key in the firmware's db; two add-ons in \\loader\\addons, one of them signed."""

    @classmethod
    def setUpClass(cls):
        cls.cmdline = f"console=ttyS0 panic=-1 korvane.token={token()}"
        cls.signed, unsigned = f"korvane.signed={token()}", f"korvane.unsigned={token()}"
        with tempfile.TemporaryDirectory(prefix="korvane-shim-") as tmp:
            folder = Path(tmp)
            uki = images.build_uki(folder / "uki.efi", linux=linux_guest.debian_kernel(), cmdline=cls.cmdline,
                                   initrd=linux_guest.cmdline_initrd())
            with vmrun.Machine(secure_boot=True, name="shim") as vm:
                vm.boot_efi(SHIM)
                vm.boot_efi(uki, "EFI/BOOT/grubx64.efi")
                vm.add_esp_file("loader/addons/signed.addon.efi", vmrun.sign_efi(
                    images.build_addon(folder / "s.efi", "--cmdline", cls.signed), folder / "signed.efi"))
                vm.add_esp_file("loader/addons/unsigned.addon.efi",
                                images.build_addon(folder / "unsigned.efi", "--cmdline", unsigned))
                cls.result = vm.run(timeout=400)

    def test_kernel_gets_the_image_s_line_and_the_signed_add_on_s(self):
        self.assertEqual(linux_guest.reported_cmdlines(self.result.text()), [f"{self.cmdline} {self.signed}"],
                         self.result.text())
        self.assertIn("secureboot: Secure boot enabled", self.result.text())

    def test_shim_s_verification_refuses_the_unsigned_add_on(self):
        # shim's own message, then the stub's.
        self.assertRegex(self.result.text(), r"Verification failed: Security Policy Violation\n"
                                             r".*Failed to read 'unsigned\.addon\.efi' .*ignoring")


class GrubChainloadWithTpm(unittest.TestCase):
    """GRUB's chainloader starts an image without .cmdline with arguments, on a machine with a
    TPM; the init reports the command line, the PCRs and the event log it sees."""

    INIT = linux_guest.init_script("""
mount -t sysfs sysfs /sys
mount -t securityfs securityfs /sys/kernel/security
report cmdline "$(cat /proc/cmdline)"
for bank in sha1 sha256 sha384; do
    for pcr in 11 12; do report "pcr:$bank:$pcr" "$(cat /sys/class/tpm/tpm0/pcr-$bank/$pcr)"; done
done
cat /sys/kernel/security/tpm0/binary_bios_measurements > /event-log
i=0
while chunk=$(dd if=/event-log bs=4096 skip=$i count=1 2>/dev/null | od -An -v -tx1 | tr -d ' \\n'); [ -n "$chunk" ]; do
    report event-log "$chunk"
    i=$((i + 1))
done
""")

    @classmethod
    def setUpClass(cls):
        cls.token = token()
        # GRUB joins its arguments with one blank; the tab and the empty last argument are the stub's to tidy.
        arguments = f'console=ttyS0 panic=-1 "korvane.tab=a\tb" korvane.token={cls.token} ""'
        cls.tidied = f"console=ttyS0 panic=-1 korvane.tab=a b korvane.token={cls.token}"
        with tempfile.TemporaryDirectory(prefix="korvane-grub-") as tmp:
            folder = Path(tmp)
            uki = images.build_uki(folder / "uki.efi", linux=linux_guest.debian_kernel(),
                                   initrd=linux_guest.busybox_initrd(cls.INIT))
            cls.sections = measured_boot.selected_sections(uki.read_bytes(), None)
            config = folder / "grub.cfg"
            config.write_text("search --no-floppy --file --set=root /EFI/Linux/uki.efi\n"
                              f"chainloader /EFI/Linux/uki.efi {arguments}\nboot\n")
            modules = "part_gpt fat search search_fs_file chain normal"
            run("grub-mkstandalone", "--format=x86_64-efi", f"--modules={modules}", f"--install-modules={modules}",
                "--locales=", "--fonts=", "--themes=", "--output", folder / "grub.efi",
                f"boot/grub/grub.cfg={config}")
            with vmrun.Machine(tpm=True, name="grub") as vm:
                vm.boot_efi(folder / "grub.efi")
                vm.add_esp_file("EFI/Linux/uki.efi", uki)
                cls.result = vm.run(timeout=400)
            cls.reports = linux_guest.reports(cls.result.text())
            log = folder / "event-log"
            log.write_bytes(bytes.fromhex("".join(cls.reports.get("event-log", []))))
            cls.eventlog = run("tpm2_eventlog", log)

    def test_kernel_gets_grub_s_arguments_tidied(self):
        self.assertEqual(self.reports.get("cmdline"), [self.tidied], self.result.text())

    def test_tpm2_eventlog_replays_the_kernel_s_pcrs(self):
        replayed = self.replayed_pcrs()
        for bank in ("sha1", "sha256", "sha384"):
            for pcr in PCRS:
                kernel = self.reports[f"pcr:{bank}:{pcr}"][0].lower()
                self.assertEqual(replayed[bank][pcr], kernel, f"PCR {pcr} {bank}")
                expected = measured_boot.replay([e.digest(bank) for e in self.expected_events() if e.pcr == pcr], bank)
                self.assertEqual(kernel, expected.hex(), f"PCR {pcr} {bank}")

    def expected_events(self) -> list[measured_boot.Event]:
        return measured_boot.section_events(self.sections) + [measured_boot.command_line_event(self.tidied)]

    def replayed_pcrs(self) -> dict[str, dict[int, str]]:
        """The "pcrs:" part of tpm2_eventlog's output: bank, then "  N : 0x<digest>" lines."""
        pcrs: dict[str, dict[int, str]] = {}
        bank = None
        part = self.eventlog[self.eventlog.index("\npcrs:"):]
        for line in part.splitlines()[2:]:
            if match := re.fullmatch(r"  (sha\d+):", line):
                bank = match.group(1)
            elif match := re.fullmatch(r"\s+(\d+)\s*:\s*0x([0-9A-Fa-f]+)", line):
                pcrs.setdefault(bank, {})[int(match.group(1))] = match.group(2).lower()
        return pcrs


if __name__ == "__main__":
    unittest.main(verbosity=2)
