#!/usr/bin/env python3
"""What the stub tells the booted system through volatile EFI variables and the random seed
table, and what it leaves in the seed file on the ESP. Every boot starts the image, through the
launcher on the ESP, from a second FAT partition of the extended boot loader type, so that the
stub has to find the ESP (and its seed file) by reading the disk's partition table.

- With a software TPM and the firmware's RNG: the probe sees the Stub and Loader variables,
  the StubPcr variables of the measurements the event log shows, and a 32-byte seed table;
  the seed file is rewritten with a seed that is neither the old one nor the kernel's.
- Without TPM and RNG, after a launcher that set the Loader variables, a system token and
  LoaderFeatures bit 6: the Loader variables stay as the launcher set them, the Stub ones are
  written anyway, no StubPcr variable, no seed table, the seed file untouched.
- Debian's kernel on the same kind of machine without bit 6: its efivarfs shows the variables,
  and its list of EFI tables has the seed table, which only the stub can have made there.
"""

import os
import re
import struct
import sys
import tempfile
import unittest
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import linux_guest  # noqa: E402
import measured_boot as mb  # noqa: E402
import reports  # noqa: E402
import vmrun  # noqa: E402

XBOOTLDR_TYPE = "bc13c2ff-59e6-4262-a352-b275fd6f7172"
XBOOTLDR = 2  # its partition number, after the ESP
UKI_PATH = "EFI/Linux/uki.efi"
UKI_EXTRA_DIR = UKI_PATH + ".extra.d"
SEED_FILE = "loader/random-seed"
SEED_FILE_SIZE = 512
SEED_SIZE = 32

# UEFI 2.10: variable attributes (8.2.1) and EfiACPIReclaimMemory (7.2.1).
BOOTSERVICE_ACCESS, RUNTIME_ACCESS, NON_VOLATILE = 0x2, 0x4, 0x1
EFI_ACPI_RECLAIM_MEMORY = 9
LOADER_FEATURE_RANDOM_SEED = 1 << 6
ALL_STUB_FEATURES = (1 << 11) - 1  # bits 0 to 10

LOADER_VENDOR = "4a67b082-0a4c-41cf-b6c7-440b29bb8c4f"
COMMON_VARIABLES = ("LoaderDevicePartUUID", "LoaderImageIdentifier", "LoaderFirmwareInfo", "LoaderFirmwareType")
STUB_VARIABLES = ("StubInfo", "StubFeatures", "StubProfile", "StubDevicePartUUID", "StubImageIdentifier")
PCR_VARIABLES = ("StubPcrKernelImage", "StubPcrKernelParameters", "StubPcrInitRDSysExts", "StubPcrInitRDConfExts")

# Files beside the image: a credential and a system extension in its own directory, a global
# credential; no configuration extension.
SIDECAR_FILES = {f"{UKI_EXTRA_DIR}/host.cred": b"secret=1\n", f"{UKI_EXTRA_DIR}/tools.raw": b"sysext image\n",
                 "loader/credentials/global.cred": b"global=2\n"}


def stub_version() -> str:
    text = (vmrun.source_dir() / "CMakeLists.txt").read_text()
    return re.search(r"project\(korvane-boot VERSION (\S+)", text).group(1)


def utf16z(text: str) -> bytes:
    return text.encode("utf-16-le") + b"\0\0"


def revision_text(revision: int) -> str:
    return f"{revision >> 16}.{revision & 0xFFFF:02d}"


def windows_path(esp_path: str) -> str:
    return "\\" + esp_path.replace("/", "\\")


class Variable:
    def __init__(self, status: int, attributes: int | None = None, value: bytes | None = None):
        self.status, self.attributes, self.value = status, attributes, value


def probe_variables(probe: reports.Report) -> dict[str, Variable]:
    found, index = {}, 0
    while f"variable.{index}.name" in probe:
        key = f"variable.{index}"
        status = probe.status(f"{key}.status")
        if status == images.EFI_SUCCESS:
            found[probe.text(f"{key}.name")] = Variable(status, probe.number(f"{key}.attributes"),
                                                        probe.bytes(f"{key}.hex"))
        else:
            found[probe.text(f"{key}.name")] = Variable(status)
        index += 1
    return found


class XbootldrMachine:
    """A machine whose disk has the ESP (launcher, seed file) and an extended boot loader
    partition with a fresh GUID (the image and its sidecar files)."""

    def __init__(self, name: str, **machine):
        self.xbootldr_guid = uuid.uuid4()
        partition = vmrun.Partition(32, XBOOTLDR_TYPE, str(self.xbootldr_guid), "XBOOTLDR", fat=True)
        self.vm = vmrun.Machine(extra_partitions=(partition,), name=name, **machine)
        self.seed_file = os.urandom(SEED_FILE_SIZE)
        try:
            self.vm.add_esp_file(SEED_FILE, self.seed_file)
        except BaseException:
            self.vm.close()
            raise

    def boot(self, uki: Path, *preamble: str, load_options: bytes | None = None,
             timeout: float = 240) -> vmrun.VmResult:
        """Starts the image from the second partition after the launcher's preamble lines."""
        self.vm.boot_efi(images.launcher())
        self.vm.add_file(XBOOTLDR, UKI_PATH, uki)
        for path, data in SIDECAR_FILES.items():
            self.vm.add_file(XBOOTLDR, path, data)
        lines = list(preamble) + [images.launcher_partition_line(self.xbootldr_guid),
                                  images.launcher_image_line(UKI_PATH, load_options)]
        self.vm.add_esp_file(images.LAUNCHER_LIST, "".join(lines))
        return self.vm.run(timeout=timeout)

    def seed_file_now(self) -> bytes:
        return self.vm.read_esp_file(SEED_FILE)

    def close(self):
        self.vm.close()


class VariableChecks:
    """Assertions on self.vars (the probe's variables) of a boot from self.machine."""

    def assert_volatile_and_visible(self, names):
        for name in names:
            self.assertEqual(self.vars[name].status, images.EFI_SUCCESS, name)
            self.assertEqual(self.vars[name].attributes, BOOTSERVICE_ACCESS | RUNTIME_ACCESS, name)

    def assert_stub_variables(self, profile: int):
        self.assert_volatile_and_visible(STUB_VARIABLES)
        self.assertEqual(self.vars["StubInfo"].value, utf16z(f"korvane-stub {stub_version()}"))
        self.assertEqual(struct.unpack("<Q", self.vars["StubFeatures"].value), (ALL_STUB_FEATURES,))
        self.assertEqual(self.vars["StubProfile"].value, utf16z(str(profile)))
        # The GUID as sgdisk was given it, in the usual text form, upper case.
        self.assertEqual(self.vars["StubDevicePartUUID"].value, utf16z(str(self.machine.xbootldr_guid).upper()))
        self.assertEqual(self.vars["StubImageIdentifier"].value, utf16z(windows_path(UKI_PATH)))


class MeasuredBootTest(unittest.TestCase, VariableChecks, mb.MeasuredBootChecks):
    """Software TPM and the firmware's RNG; the image's profile 1 started with "@1"."""

    @classmethod
    def setUpClass(cls):
        cls.machine = XbootldrMachine("variables-tpm", tpm=True)
        try:
            with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
                uki = images.build_uki_from_args(Path(tmp) / "uki.efi", "--linux", str(images.probe()),
                                                 "--profile", "ID=one", "--profile", "ID=two")
                cls.result = cls.machine.boot(uki, load_options=images.utf16_load_options("@1"))
            cls.seed_file_after = cls.machine.seed_file_now()
        finally:
            cls.machine.close()
        text = cls.result.text()
        cls.launcher = reports.only_report(text, "LAUNCHER", unfinished=True)
        cls.probe = reports.only_report(text, "PROBE")
        cls.vars = probe_variables(cls.probe)

    def test_image_starts_from_the_second_partition(self):
        self.assertEqual(self.launcher.status("image.0.partition-status"), images.EFI_SUCCESS)
        self.assertEqual(self.launcher.status("image.1.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())

    def test_stub_variables(self):
        self.assert_stub_variables(profile=1)

    def test_common_variables_name_the_partition_image_and_firmware(self):
        self.assert_volatile_and_visible(COMMON_VARIABLES)
        self.assertEqual(self.vars["LoaderDevicePartUUID"].value, utf16z(str(self.machine.xbootldr_guid).upper()))
        self.assertEqual(self.vars["LoaderImageIdentifier"].value, utf16z(windows_path(UKI_PATH)))
        vendor, revision = self.probe.text("firmware.vendor"), self.probe.number("firmware.revision")
        self.assertEqual(self.vars["LoaderFirmwareInfo"].value, utf16z(f"{vendor} {revision_text(revision)}"))
        uefi = self.probe.number("firmware.system-table-revision")
        self.assertEqual(uefi, self.probe.number("firmware.runtime-services-revision"))
        self.assertEqual(self.vars["LoaderFirmwareType"].value, utf16z(f"UEFI {revision_text(uefi)}"))

    def test_pcr_variables_are_those_of_the_groups_the_log_has_in_full(self):
        events = [(e.pcr, e.type, e.description()) for e in self.log_events() if e.pcr in mb.STUB_PCRS]
        # Every group the stub measures, by what the log shows of it.
        sections = [e for e in events if e[0] == mb.PCR_SECTIONS]
        parameters = {e[2] for e in events if e[0] == mb.PCR_KERNEL_PARAMETERS}
        sysexts = {e[2] for e in events if e[0] == mb.PCR_SYSEXTS}
        self.assertTrue(sections)
        # The profile number and the two credential archives (neither directory was empty).
        self.assertEqual(parameters, {"1", "Credentials initrd", "Global credentials initrd"})
        self.assertEqual(sysexts, {"System extension initrd"})
        self.assert_volatile_and_visible(PCR_VARIABLES[:3])
        self.assertEqual(self.vars["StubPcrKernelImage"].value, utf16z(str(mb.PCR_SECTIONS)))
        self.assertEqual(self.vars["StubPcrKernelParameters"].value, utf16z(str(mb.PCR_KERNEL_PARAMETERS)))
        self.assertEqual(self.vars["StubPcrInitRDSysExts"].value, utf16z(str(mb.PCR_SYSEXTS)))
        # No configuration extension was there to measure.
        self.assertEqual(self.vars["StubPcrInitRDConfExts"].status, images.EFI_NOT_FOUND)

    def test_kernel_gets_a_32_byte_seed_table_in_acpi_reclaim_memory(self):
        self.assertTrue(self.probe.flag("random-seed.rng-protocol"))
        self.assertTrue(self.probe.flag("random-seed.present"))
        self.assertEqual(self.probe.number("random-seed.size"), SEED_SIZE)
        self.assertEqual(len(self.probe.bytes("random-seed.seed")), SEED_SIZE)
        self.assertNotEqual(self.probe.bytes("random-seed.seed"), bytes(SEED_SIZE))
        self.assertEqual(self.probe.number("random-seed.memory-type"), EFI_ACPI_RECLAIM_MEMORY)

    def test_seed_file_gets_a_new_seed_and_zeros_and_keeps_its_size(self):
        after = self.seed_file_after
        self.assertEqual(len(after), SEED_FILE_SIZE)
        self.assertNotEqual(after[:SEED_SIZE], self.machine.seed_file[:SEED_SIZE])
        self.assertNotEqual(after[:SEED_SIZE], bytes(SEED_SIZE))
        self.assertEqual(after[SEED_SIZE:], bytes(SEED_FILE_SIZE - SEED_SIZE))

    def test_seed_file_never_holds_the_kernel_s_seed(self):
        self.assertNotEqual(self.seed_file_after[:SEED_SIZE], self.probe.bytes("random-seed.seed"))


class BootLoaderSetupTest(unittest.TestCase, VariableChecks):
    """No TPM, no RNG device; the launcher set the Loader variables, a system token (enough
    entropy for the stub) and LoaderFeatures with bit 6, as a boot loader that refreshed the
    seed itself would."""

    PRESETS = {"LoaderDevicePartUUID": utf16z("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9"),
               "LoaderImageIdentifier": utf16z("\\EFI\\BOOT\\BOOTX64.EFI"),
               "LoaderFirmwareInfo": utf16z("Launcher Firmware 7.07"),
               "LoaderFirmwareType": utf16z("UEFI 9.99")}

    @classmethod
    def setUpClass(cls):
        cls.machine = XbootldrMachine("variables-loader", rng=False)
        preamble = [images.launcher_variable_line("LoaderFeatures", struct.pack("<Q", LOADER_FEATURE_RANDOM_SEED)),
                    images.launcher_variable_line("LoaderSystemToken", os.urandom(SEED_SIZE))]
        preamble += [images.launcher_variable_line(name, value) for name, value in cls.PRESETS.items()]
        cls.n_preamble = len(preamble)
        try:
            with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
                uki = images.build_uki(Path(tmp) / "uki.efi", linux=images.probe())
                cls.result = cls.machine.boot(uki, *preamble)
            cls.seed_file_after = cls.machine.seed_file_now()
        finally:
            cls.machine.close()
        text = cls.result.text()
        cls.launcher = reports.only_report(text, "LAUNCHER", unfinished=True)
        cls.probe = reports.only_report(text, "PROBE")
        cls.vars = probe_variables(cls.probe)

    def test_launcher_set_its_variables_and_started_the_image(self):
        for index in range(self.n_preamble):
            self.assertEqual(self.launcher.status(f"image.{index}.variable-status"), images.EFI_SUCCESS)
        self.assertEqual(self.launcher.status(f"image.{self.n_preamble + 1}.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())

    def test_loader_variables_stay_as_the_boot_loader_set_them(self):
        self.assert_volatile_and_visible(COMMON_VARIABLES)
        self.assertEqual({name: self.vars[name].value for name in COMMON_VARIABLES}, self.PRESETS)

    def test_stub_variables_are_written_anyway(self):
        self.assert_stub_variables(profile=0)

    def test_no_pcr_variable_without_a_tpm(self):
        self.assertNotEqual(self.probe.status("tpm.locate-status"), images.EFI_SUCCESS)
        for name in PCR_VARIABLES:
            self.assertEqual(self.vars[name].status, images.EFI_NOT_FOUND, name)

    def test_seed_file_and_tables_are_left_to_the_boot_loader(self):
        self.assertEqual(self.seed_file_after, self.machine.seed_file)
        self.assertFalse(self.probe.flag("random-seed.present"))

    def test_firmware_without_the_rng_device_has_no_rng_protocol(self):
        # What the Linux test below relies on, with the test above (the firmware installs no
        # seed table of its own): the kernel's EFI entry has no RNG to make a seed table from.
        self.assertFalse(self.probe.flag("random-seed.rng-protocol"))


# Reports every boot loader interface variable as the kernel's efivarfs shows it (attributes,
# then the value), as hex.
EFIVARS_INIT = linux_guest.init_script(f"""mount -t sysfs sysfs /sys
insmod /efivarfs.ko
mount -t efivarfs efivarfs /sys/firmware/efi/efivars
for f in /sys/firmware/efi/efivars/*-{LOADER_VENDOR}; do
    report "efivar:$(basename "$f")" "$(od -An -v -tx1 "$f" | tr -d ' \\n')"
done
""")


class LinuxTest(unittest.TestCase):
    """Debian's kernel with a busybox init, on a machine without RNG device whose launcher set
    a system token: the stub's seed table is the only one there can be."""

    @classmethod
    def setUpClass(cls):
        cls.machine = XbootldrMachine("variables-linux", rng=False)
        initrd = linux_guest.busybox_initrd(
            EFIVARS_INIT, files=(("efivarfs.ko", linux_guest.kernel_module("fs/efivarfs/efivarfs.ko")),))
        try:
            with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
                uki = images.build_uki(Path(tmp) / "linux.efi", linux=linux_guest.debian_kernel(),
                                       cmdline="console=ttyS0 panic=-1", initrd=initrd)
                cls.result = cls.machine.boot(
                    uki, images.launcher_variable_line("LoaderSystemToken", os.urandom(SEED_SIZE)), timeout=300)
            cls.seed_file_after = cls.machine.seed_file_now()
        finally:
            cls.machine.close()
        cls.text = cls.result.text()
        cls.efivars = {key.removeprefix("efivar:").removesuffix(f"-{LOADER_VENDOR}"): bytes.fromhex(values[-1])
                       for key, values in linux_guest.reports(cls.text).items() if key.startswith("efivar:")}

    def test_kernel_powers_off_after_init(self):
        self.assertEqual(self.result.returncode, 0, self.text)

    def test_efivarfs_shows_the_stub_and_loader_variables(self):
        for name in STUB_VARIABLES + COMMON_VARIABLES:
            self.assertIn(name, self.efivars, self.text)
            attributes = struct.unpack_from("<I", self.efivars[name])[0]
            self.assertEqual(attributes, BOOTSERVICE_ACCESS | RUNTIME_ACCESS, name)
        self.assertEqual(self.efivars["StubInfo"][4:], utf16z(f"korvane-stub {stub_version()}"))
        self.assertEqual(self.efivars["StubDevicePartUUID"][4:], utf16z(str(self.machine.xbootldr_guid).upper()))
        self.assertFalse(set(PCR_VARIABLES) & set(self.efivars), "no TPM, so no StubPcr variable")

    def test_loader_firmware_type_is_the_revision_the_kernel_reports(self):
        # The kernel's first EFI line: "efi: EFI v2.70 by EDK II".
        match = re.search(r"efi: EFI v(\d+)\.(\d+) by (.+)", self.text)
        self.assertIsNotNone(match, self.text)
        major, minor, vendor = match.group(1), match.group(2), match.group(3).strip()
        self.assertEqual(self.efivars["LoaderFirmwareType"][4:], utf16z(f"UEFI {major}.{minor}"))
        self.assertRegex(self.efivars["LoaderFirmwareInfo"][4:-2].decode("utf-16-le"),
                         rf"^{re.escape(vendor)} \d+\.\d\d+$")

    def test_kernel_takes_its_first_randomness_from_the_seed_table(self):
        # Right after "efi: EFI v..." the kernel lists the configuration tables it uses ("RNG"
        # is the random seed table); it mixes in and credits that seed as it parses them, so
        # its random generator is ready at once instead of seconds later.
        lines = [re.sub(r"^\[[ 0-9.]*\] ", "", line) for line in self.text.split("\n")]
        first = next((i for i, line in enumerate(lines) if line.startswith("efi: EFI v")), None)
        self.assertIsNotNone(first, self.text)
        self.assertRegex(lines[first + 1], r"^efi: .*\bRNG=0x[0-9a-f]+\b")
        self.assertEqual(lines[first + 2].strip(), "random: crng init done")

    def test_seed_file_is_refreshed_before_the_kernel_starts(self):
        self.assertEqual(len(self.seed_file_after), SEED_FILE_SIZE)
        self.assertNotEqual(self.seed_file_after[:SEED_SIZE], self.machine.seed_file[:SEED_SIZE])
        self.assertEqual(self.seed_file_after[SEED_SIZE:], bytes(SEED_FILE_SIZE - SEED_SIZE))


if __name__ == "__main__":
    unittest.main(verbosity=2)
