#!/usr/bin/env python3
"""Boots EFI applications on OVMF under QEMU for the real-firmware tests.

A Machine owns a temporary directory with a GPT disk image whose first partition is the
ESP, a copy of the firmware's variable store and, when asked for, a software TPM. Files are
copied straight into the ESP's FAT file system (never through QEMU's fat:rw: folder, whose
write-back is not to be trusted), so that what the guest writes can be read back after a run.
The guest ends a run by writing to the isa-debug-exit port (byte v: QEMU exits with 2v+1),
by powering off or resetting (QEMU exits with 0 under -no-reboot), or is killed when it has
used up its processor-time limit.

    with Machine(tpm=True) as vm:
        vm.boot_efi(build_file("korvane-smoke-x64.efi"))
        result = vm.run(timeout=120)
        result.debug_exit, result.text()

Run as a program, it boots one EFI file and prints the serial log (see --help).
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

QEMU = "qemu-system-x86_64"
OVMF_DIR = Path("/usr/share/OVMF")
SNAKEOIL_KEY = Path("/usr/share/ovmf/PkKek-1-snakeoil.key")
SNAKEOIL_CERT = Path("/usr/share/ovmf/PkKek-1-snakeoil.pem")
SNAKEOIL_PASSPHRASE = "snakeoil"

DEBUG_EXIT_PORT = 0xF4
# How many times a run's processor-time limit the clock may take before QEMU is killed anyway.
WALL_CLOCK_MARGIN = 5
DEFAULT_PCR_BANKS = ("sha1", "sha256", "sha384")
DEFAULT_ESP_GUID = "2f4a1c7e-6b0d-4e58-9a3c-5d7e8f901234"
DEFAULT_DISK_GUID = "7c3e9a51-0d2b-4f86-b1e4-93a6c8d05f27"
ESP_TYPE = "EF00"
ESP_NUMBER = 1  # the ESP's partition number; extra partitions follow it
DEFAULT_BOOT_PATH = "EFI/BOOT/BOOTX64.EFI"

SECTOR = 512
MIB_SECTORS = 1024 * 1024 // SECTOR
# Partitions start on 1 MiB boundaries; the last MiB holds the backup GPT.
FIRST_LBA = MIB_SECTORS

# CSI sequences (colours, cursor moves, erase) and the two-byte escapes of a VT100 terminal.
_ESCAPE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b[@-Z\\-_]")
_ESCAPE_OR_NEWLINE = re.compile(_ESCAPE.pattern + r"|\r\n|\r|\n")
_SGR = re.compile(r"\x1b\[([0-9;]*)m")
# ANSI colour number -> UEFI colour number (UEFI orders blue, green, cyan, red, ...).
_ANSI_TO_EFI = (0, 4, 2, 6, 1, 5, 3, 7)


class VmError(Exception):
    """QEMU, swtpm or a disk tool failed."""


class VmTimeout(VmError):
    """The guest did not end the run within its time limit."""


def source_dir() -> Path:
    """The repository root: KORVANE_SOURCE_DIR, else the checkout this file is in."""
    env = os.environ.get("KORVANE_SOURCE_DIR")
    return Path(env).resolve() if env else Path(__file__).resolve().parents[2]


def build_dir() -> Path:
    """The CMake build directory: KORVANE_BUILD_DIR, else build/ in the repository."""
    env = os.environ.get("KORVANE_BUILD_DIR")
    return Path(env).resolve() if env else source_dir() / "build"


def build_file(name: str) -> Path:
    path = build_dir() / name
    if not path.is_file():
        raise FileNotFoundError(f"{path} is missing: build the project first")
    return path


def strip_terminal(text: str) -> str:
    """The serial text without terminal escape sequences, with plain newlines."""
    text = _ESCAPE.sub("", text)
    return text.replace("\r\n", "\n").replace("\r", "\n")


@dataclasses.dataclass(frozen=True)
class ConsoleLine:
    text: str
    attribute: int  # UEFI text attribute in force at the line's first character


class _Sgr:
    """The colour state of the terminal, as SGR codes set it."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.foreground, self.background, self.bold = 7, 0, False

    def apply(self, codes: str):
        for code in [int(c) if c else 0 for c in codes.split(";")]:
            if code == 0:
                self.reset()
            elif code in (1, 22):
                self.bold = code == 1
            elif 30 <= code <= 37:
                self.foreground = _ANSI_TO_EFI[code - 30]
            elif 40 <= code <= 47:
                self.background = _ANSI_TO_EFI[code - 40]

    @property
    def attribute(self) -> int:
        # Bold stands for the bright half of the UEFI foreground colours.
        return self.foreground | (8 if self.bold else 0) | (self.background << 4)


def console_lines(serial: str) -> list[ConsoleLine]:
    """Splits the serial text into lines, each with the UEFI attribute in force at its first
    character (an empty line: at its end). A last line without a newline counts too."""
    lines: list[ConsoleLine] = []
    sgr = _Sgr()
    text, attribute, pos = "", None, 0
    for match in _ESCAPE_OR_NEWLINE.finditer(serial):
        chunk = serial[pos:match.start()]
        if chunk and attribute is None:
            attribute = sgr.attribute
        text += chunk
        pos = match.end()
        colour = _SGR.fullmatch(match.group())
        if colour:
            sgr.apply(colour.group(1))
        elif not match.group().startswith("\x1b"):
            lines.append(ConsoleLine(text, sgr.attribute if attribute is None else attribute))
            text, attribute = "", None
    text += serial[pos:]
    if text:
        lines.append(ConsoleLine(text, sgr.attribute if attribute is None else attribute))
    return lines


@dataclasses.dataclass(frozen=True)
class Partition:
    """A partition after the ESP; created empty, or with an empty FAT file system (fat) whose
    files add_file and read_file reach by the partition's number (the ESP is 1)."""

    size_mib: int
    type_code: str = "8300"  # sgdisk type code or type GUID
    guid: str | None = None  # unique partition GUID; sgdisk picks one when None
    name: str | None = None
    fat: bool = False


@dataclasses.dataclass
class VmResult:
    returncode: int | None  # None when the run was stopped on a serial match
    serial: str  # raw serial output, with terminal escape sequences
    duration: float  # seconds from QEMU's start to its end
    stopped_on: re.Match | None  # the match that stopped the run, when stop_on was given
    stderr: str

    @property
    def debug_exit(self) -> int | None:
        """The byte written to the isa-debug-exit port, or None when QEMU ended otherwise."""
        if self.returncode is None or self.returncode % 2 == 0:
            return None
        return (self.returncode - 1) // 2

    def text(self) -> str:
        return strip_terminal(self.serial)

    def lines(self) -> list[str]:
        return self.text().split("\n")

    def console_lines(self) -> list[ConsoleLine]:
        return console_lines(self.serial)


def _run_tool(args: list[str], **kwargs) -> subprocess.CompletedProcess:
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    proc = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, env=env, **kwargs)
    if proc.returncode != 0:
        raise VmError(f"{' '.join(map(str, args))} failed ({proc.returncode}): {proc.stderr.decode(errors='replace')}")
    return proc


def snakeoil_key(output: Path) -> Path:
    """Writes the snakeoil key that OVMF's Secure Boot variables trust, unencrypted (its
    certificate is SNAKEOIL_CERT)."""
    _run_tool(["openssl", "rsa", "-in", str(SNAKEOIL_KEY), "-passin", f"pass:{SNAKEOIL_PASSPHRASE}",
               "-out", str(output)])
    return output


def sign_efi(source: Path, output: Path) -> Path:
    """Signs an EFI image with the snakeoil key, with sbsign."""
    with tempfile.TemporaryDirectory(prefix="korvane-sign-") as tmp:
        key = snakeoil_key(Path(tmp) / "key.pem")
        _run_tool(["sbsign", "--key", str(key), "--cert", str(SNAKEOIL_CERT), "--output", str(output),
                   str(source)])
    return output


def _esp_parts(path: str) -> list[str]:
    """The components of an ESP path written as "EFI/BOOT", "/EFI/BOOT" or "\\EFI\\BOOT"."""
    return [part for part in path.replace("\\", "/").split("/") if part]


def _esp_path(parts: list[str]) -> str:
    """An ESP path in mtools' form, "::/EFI/BOOT"."""
    return "::/" + "/".join(parts)


class Machine:
    """One virtual machine: its disk, variable store and TPM live as long as the object.

    Several runs of one Machine share them, as reboots of one computer would.
    """

    def __init__(self, *, secure_boot: bool = False, tpm: bool = False,
                 pcr_banks: tuple[str, ...] = DEFAULT_PCR_BANKS, smbios: tuple[str, ...] = (),
                 rng: bool = True, memory_mib: int = 1024, esp_size_mib: int = 64,
                 esp_guid: str = DEFAULT_ESP_GUID, extra_partitions: tuple[Partition, ...] = (),
                 extra_args: tuple[str, ...] = (), name: str = "vm"):
        self.secure_boot = secure_boot
        self.smbios = tuple(smbios)
        self.rng = rng
        self.memory_mib = memory_mib
        self.extra_args = tuple(extra_args)
        self.workdir = Path(tempfile.mkdtemp(prefix=f"korvane-{name}-")).resolve()
        self._runs = 0
        try:
            self._vars = self._copy_vars()
            self.disk = self.workdir / "disk.img"
            self.esp_offset = FIRST_LBA * SECTOR
            self._fat_offsets = {ESP_NUMBER: self.esp_offset}
            self._make_disk(esp_size_mib, esp_guid, tuple(extra_partitions))
            self._tpm_dir = self._setup_tpm(pcr_banks) if tpm else None
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> Machine:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        if os.environ.get("KORVANE_VM_KEEP"):
            print(f"vmrun: keeping {self.workdir}", file=sys.stderr)
            return
        shutil.rmtree(self.workdir, ignore_errors=True)

    # --- the ESP -------------------------------------------------------------------------

    def add_esp_file(self, dest: str, source: Path | bytes | str) -> None:
        """Writes a file into the ESP, creating its folders. A Path is a host file to copy;
        bytes or str are the contents themselves."""
        self.add_file(ESP_NUMBER, dest, source)

    def add_file(self, partition: int, dest: str, source: Path | bytes | str) -> None:
        """add_esp_file on the FAT file system of the partition with this number."""
        if not isinstance(source, Path):
            data = source.encode() if isinstance(source, str) else source
            staged = self.workdir / "staged"
            staged.write_bytes(data)
            source = staged
        parts = _esp_parts(dest)
        self._make_esp_dirs(parts[:-1], partition)
        self._mtools("mcopy", "-o", str(source), _esp_path(parts), partition=partition)

    def add_esp_tree(self, folder: Path, dest: str = "/") -> None:
        """Copies the contents of a host folder into an ESP folder."""
        parts = _esp_parts(dest)
        self._make_esp_dirs(parts)
        entries = sorted(str(p) for p in Path(folder).iterdir())
        if entries:
            self._mtools("mcopy", "-s", "-o", *entries, _esp_path(parts))

    def read_esp_file(self, path: str) -> bytes:
        """A file's contents as the guest left them; FileNotFoundError when there is none."""
        return self.read_file(ESP_NUMBER, path)

    def read_file(self, partition: int, path: str) -> bytes:
        """read_esp_file on the FAT file system of the partition with this number."""
        proc = self._mtools_probe("mcopy", _esp_path(_esp_parts(path)), "-", partition=partition)
        if proc.returncode != 0:
            raise FileNotFoundError(f"{path} on partition {partition}: {proc.stderr.decode(errors='replace').strip()}")
        return proc.stdout

    def boot_efi(self, efi: Path, path: str = DEFAULT_BOOT_PATH, sign: bool | None = None) -> None:
        """Places an EFI image on the ESP, signed when Secure Boot is on (unless sign says otherwise).

        At the default path the firmware starts it by itself; elsewhere, use startup_nsh.
        """
        if self.secure_boot if sign is None else sign:
            efi = sign_efi(efi, self.workdir / f"signed-{Path(efi).name}")
        self.add_esp_file(path, Path(efi))

    def startup_nsh(self, *commands: str) -> None:
        """The UEFI shell's startup script, run after its 5 s countdown when nothing else boots,
        e.g. startup_nsh(r"fs0:\\EFI\\Linux\\uki.efi @1 quiet"). Under Secure Boot the
        firmware refuses to start its own shell, so there is no script."""
        self.add_esp_file("startup.nsh", "".join(f"{c}\r\n" for c in commands))

    # --- running -------------------------------------------------------------------------

    def run(self, timeout: float = 120, stop_on: str | None = None) -> VmResult:
        """Boots the machine until QEMU ends, or until the stripped serial text matches
        stop_on (a regular expression; then QEMU is killed). VmTimeout once QEMU has used timeout
        seconds of processor time (or the clock has run WALL_CLOCK_MARGIN times as long)."""
        self._runs += 1
        serial = self.workdir / f"serial-{self._runs}.log"
        stderr_path = self.workdir / f"qemu-{self._runs}.stderr"
        serial.touch()
        swtpm = self._start_tpm() if self._tpm_dir else None
        try:
            with open(stderr_path, "wb") as stderr:
                start = time.monotonic()
                qemu = subprocess.Popen(self._qemu_args(serial), stdin=subprocess.DEVNULL,
                                        stdout=stderr, stderr=stderr)
                try:
                    returncode, match = self._wait(qemu, serial, timeout, stop_on)
                finally:
                    _kill(qemu)
                duration = time.monotonic() - start
        finally:
            if swtpm:
                _kill(swtpm)
        result = VmResult(returncode, serial.read_bytes().decode(errors="replace"), duration, match,
                          stderr_path.read_text(errors="replace"))
        if returncode == 1 and _qemu_errors(result.stderr):
            raise VmError(f"QEMU failed: {result.stderr.strip()}")
        return result

    def _wait(self, qemu: subprocess.Popen, serial: Path, timeout: float, stop_on: str | None):
        # The limit counts QEMU's processor time, not the clock: a machine busy with other work
        # slows a boot down but gives it no more instructions to run. The clock only catches a
        # guest that waits for nothing, with a wide margin.
        wall_deadline = time.monotonic() + WALL_CLOCK_MARGIN * timeout
        pattern = re.compile(stop_on) if stop_on else None
        while True:
            try:
                return qemu.wait(timeout=0.2), None
            except subprocess.TimeoutExpired:
                pass
            if pattern:
                match = pattern.search(strip_terminal(serial.read_bytes().decode(errors="replace")))
                if match:
                    return None, match
            used = _cpu_seconds(qemu.pid)
            if used > timeout or time.monotonic() > wall_deadline:
                tail = "\n".join(strip_terminal(serial.read_bytes().decode(errors="replace")).split("\n")[-30:])
                waited_for = f" for {stop_on!r}" if stop_on else ""
                raise VmTimeout(f"QEMU was killed after {used:.0f} s of processor time{waited_for} "
                                f"(limit {timeout} s); the serial log ended with:\n{tail}")

    def _qemu_args(self, serial: Path) -> list[str]:
        machine = "q35,smm=on,accel=tcg" if self.secure_boot else "q35,accel=tcg"
        code = OVMF_DIR / ("OVMF_CODE_4M.secboot.fd" if self.secure_boot else "OVMF_CODE_4M.fd")
        args = [QEMU, "-machine", machine, "-m", str(self.memory_mib),
                "-display", "none", "-monitor", "none", "-no-reboot", "-net", "none",
                "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
                "-drive", f"if=pflash,format=raw,unit=1,file={self._vars}",
                "-drive", f"file={self.disk},format=raw,media=disk",
                "-serial", f"file:{serial}",
                "-device", f"isa-debug-exit,iobase={DEBUG_EXIT_PORT:#x},iosize=0x04"]
        if self.secure_boot:
            args += ["-global", "driver=cfi.pflash01,property=secure,value=on"]
        if self.rng:
            args += ["-device", "virtio-rng-pci"]
        if self._tpm_dir:
            args += ["-chardev", f"socket,id=chrtpm,path={self._tpm_dir / 'sock'}",
                     "-tpmdev", "emulator,id=tpm0,chardev=chrtpm", "-device", "tpm-tis,tpmdev=tpm0"]
        for table in self.smbios:
            args += ["-smbios", table]
        return args + list(self.extra_args)

    # --- set-up --------------------------------------------------------------------------

    def _copy_vars(self) -> Path:
        template = "OVMF_VARS_4M.snakeoil.fd" if self.secure_boot else "OVMF_VARS_4M.fd"
        target = self.workdir / "vars.fd"
        shutil.copyfile(OVMF_DIR / template, target)
        return target

    def _make_disk(self, esp_size_mib: int, esp_guid: str, extra: tuple[Partition, ...]) -> None:
        sizes = [esp_size_mib] + [p.size_mib for p in extra]
        with open(self.disk, "wb") as f:
            f.truncate((sum(sizes) + 2) * 1024 * 1024)
        args = ["sgdisk", "-o", "-U", DEFAULT_DISK_GUID]
        start = FIRST_LBA
        specs = [Partition(esp_size_mib, ESP_TYPE, esp_guid, "ESP")] + list(extra)
        for number, part in enumerate(specs, 1):
            end = start + part.size_mib * MIB_SECTORS - 1
            args += ["-n", f"{number}:{start}:{end}", "-t", f"{number}:{part.type_code}"]
            if part.guid:
                args += ["-u", f"{number}:{part.guid}"]
            if part.name:
                args += ["-c", f"{number}:{part.name}"]
            if part.fat and number != ESP_NUMBER:
                self._fat_offsets[number] = start * SECTOR
            start = end + 1
        _run_tool(args + [str(self.disk)])
        _run_tool(["mkfs.vfat", "--offset", str(FIRST_LBA), "-n", "ESP", str(self.disk),
                   str(esp_size_mib * 1024)])
        for number, offset in self._fat_offsets.items():
            if number != ESP_NUMBER:
                _run_tool(["mkfs.vfat", "--offset", str(offset // SECTOR), str(self.disk),
                           str(specs[number - 1].size_mib * 1024)])

    def _image_at(self, partition: int) -> str:
        if partition not in self._fat_offsets:
            raise VmError(f"partition {partition} has no FAT file system")
        return f"{self.disk}@@{self._fat_offsets[partition]}"

    def _mtools(self, tool: str, *args: str, partition: int = ESP_NUMBER) -> None:
        _run_tool([tool, "-i", self._image_at(partition), *args])

    def _mtools_probe(self, tool: str, *args: str, partition: int = ESP_NUMBER) -> subprocess.CompletedProcess:
        return subprocess.run([tool, "-i", self._image_at(partition), *args], stdin=subprocess.DEVNULL,
                              capture_output=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))

    def _make_esp_dirs(self, parts: list[str], partition: int = ESP_NUMBER) -> None:
        """Creates a folder and its parents where the partition's file system lacks them."""
        for depth in range(1, len(parts) + 1):
            folder = _esp_path(parts[:depth])
            if self._mtools_probe("mdir", "-b", folder, partition=partition).returncode != 0:
                self._mtools("mmd", folder, partition=partition)

    def _setup_tpm(self, pcr_banks: tuple[str, ...]) -> Path:
        state = self.workdir / "tpm"
        state.mkdir()
        _run_tool(["swtpm_setup", "--tpm2", "--tpmstate", str(state), "--pcr-banks", ",".join(pcr_banks),
                   "--overwrite"])
        return state

    def _start_tpm(self) -> subprocess.Popen:
        sock = self._tpm_dir / "sock"
        sock.unlink(missing_ok=True)
        log = open(self._tpm_dir / "swtpm.stderr", "ab")
        swtpm = subprocess.Popen(["swtpm", "socket", "--tpm2", "--tpmstate", f"dir={self._tpm_dir}",
                                  "--ctrl", f"type=unixio,path={sock}", "--terminate",
                                  "--log", f"file={self._tpm_dir / 'swtpm.log'}"],
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        # Only a swtpm that ended, or one still without its socket after a minute, has failed.
        deadline = time.monotonic() + 60
        while not sock.exists():
            if swtpm.poll() is not None or time.monotonic() > deadline:
                _kill(swtpm)
                raise VmError(f"swtpm did not start: {(self._tpm_dir / 'swtpm.stderr').read_text()}")
            time.sleep(0.05)
        return swtpm


def _cpu_seconds(pid: int) -> float:
    """The user and system time a running process has used (its threads included)."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except FileNotFoundError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _kill(proc: subprocess.Popen) -> None:
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def _qemu_errors(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if line.startswith(f"{QEMU}:") and "warning:" not in line]


def main() -> int:
    parser = argparse.ArgumentParser(description="Boot an EFI file on OVMF under QEMU and print the serial log.")
    parser.add_argument("efi", type=Path, help="the EFI application, placed as \\EFI\\BOOT\\BOOTX64.EFI")
    parser.add_argument("--secure-boot", action="store_true", help="Secure Boot with the snakeoil keys (signs the file)")
    parser.add_argument("--tpm", action="store_true", help="attach a software TPM 2.0")
    parser.add_argument("--smbios", action="append", default=[], help="a QEMU -smbios argument (repeatable)")
    parser.add_argument("--timeout", type=float, default=120, help="seconds before QEMU is killed (default 120)")
    parser.add_argument("--raw", action="store_true", help="print the serial log with its escape sequences")
    args = parser.parse_args()
    with Machine(secure_boot=args.secure_boot, tpm=args.tpm, smbios=tuple(args.smbios)) as vm:
        vm.boot_efi(args.efi)
        try:
            result = vm.run(timeout=args.timeout)
        except VmTimeout as e:
            print(f"vmrun: {e}", file=sys.stderr)
            return 124
    sys.stdout.write(result.serial if args.raw else result.text())
    sys.stdout.flush()
    if result.debug_exit is not None:
        how = f"through isa-debug-exit with value {result.debug_exit:#x}"
    else:
        how = f"with status {result.returncode}"
    print(f"\nvmrun: QEMU ended {how} after {result.duration:.1f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
