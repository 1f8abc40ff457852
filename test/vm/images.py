"""Building unified kernel images with korvane-uki, reading their sections back, and starting
them through the launcher, for the VM tests.

The launcher (test/vm/launcher/) is started by the firmware; it starts the images listed in
\\launcher\\images on the ESP, each with the load options or shell arguments given there, and
reports the status of every LoadImage and StartImage call in LAUNCHER lines (see reports.py).
"""

from __future__ import annotations

import dataclasses
import struct
import subprocess
import uuid
from pathlib import Path

import vmrun

# UEFI status codes (UEFI 2.10, appendix D).
_ERROR = 1 << 63
EFI_SUCCESS = 0
EFI_BUFFER_TOO_SMALL = _ERROR | 5
EFI_NOT_FOUND = _ERROR | 14
EFI_ACCESS_DENIED = _ERROR | 15
EFI_SECURITY_VIOLATION = _ERROR | 26

# The exit values the probe and the launcher write to isa-debug-exit when they are done.
PROBE_EXIT_VALUE = 0x50
LAUNCHER_EXIT_VALUE = 0x4C

# The vendor media node under which the stub loads the kernel from memory.
KERNEL_PAYLOAD_VENDOR_GUID = uuid.UUID("55c5d1f8-04cd-46b5-8a20-e56cbb3052d0")

LAUNCHER_LIST = "launcher/images"
ESP_IMAGE_DIR = "EFI/Linux"


def vendor_media_device_path(guid: uuid.UUID) -> bytes:
    """A device path of one vendor-defined media node and the end node (UEFI 2.10, 10.3.5.4)."""
    return struct.pack("<BBH", 0x04, 0x03, 20) + guid.bytes_le + struct.pack("<BBH", 0x7F, 0xFF, 4)


def stub() -> Path:
    return vmrun.build_file("korvane-stub-x64.efi")


def probe() -> Path:
    return vmrun.build_file("korvane-probe-x64.efi")


def launcher() -> Path:
    return vmrun.build_file("korvane-launcher-x64.efi")


def build_uki(output: Path, *, linux: Path, cmdline: str | None = None, initrd: bytes | None = None,
              ucode: bytes | None = None) -> Path:
    """Runs korvane-uki build on the stub; section contents given as bytes are written beside output."""
    args = [str(vmrun.build_file("tools/korvane-uki")), "build", "--stub", str(stub()), "--linux", str(linux)]
    if cmdline is not None:
        args += ["--cmdline", cmdline]
    for option, data in (("--initrd", initrd), ("--ucode", ucode)):
        if data is not None:
            part = output.with_name(f"{output.name}{option.replace('--', '.')}")
            part.write_bytes(data)
            args += [option, str(part)]
    proc = subprocess.run(args + ["--output", str(output)], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        raise AssertionError(f"korvane-uki failed ({proc.returncode}): {proc.stderr}")
    return output


def build_uki_from_args(output: Path, *args: str) -> Path:
    """Runs korvane-uki build on the stub with the given section options, in their order."""
    command = [str(vmrun.build_file("tools/korvane-uki")), "build", "--stub", str(stub()), *args,
               "--output", str(output)]
    proc = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        raise AssertionError(f"korvane-uki failed ({proc.returncode}): {proc.stderr}")
    return output


def build_addon(output: Path, *args: str) -> Path:
    """Runs korvane-uki addon on the add-on base image with the given payload options."""
    command = [str(vmrun.build_file("tools/korvane-uki")), "addon", "--stub",
               str(vmrun.build_file("korvane-addon-x64.efi")), *args, "--output", str(output)]
    proc = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        raise AssertionError(f"korvane-uki addon failed ({proc.returncode}): {proc.stderr}")
    return output


def make_signing_key(prefix: Path) -> tuple[Path, Path]:
    """A fresh RSA key and its self-signed certificate, PREFIX.key and PREFIX.crt."""
    key, certificate = prefix.with_suffix(".key"), prefix.with_suffix(".crt")
    proc = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=korvane other",
                           "-days", "2", "-keyout", str(key), "-out", str(certificate)],
                          capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        raise AssertionError(f"openssl req failed ({proc.returncode}): {proc.stderr}")
    return key, certificate


def signing_options(key: Path, certificate: Path) -> list[str]:
    """The korvane-uki options that sign its output for Secure Boot with this key."""
    return ["--secureboot-private-key", str(key), "--secureboot-certificate", str(certificate)]


def pe_sections(image: bytes) -> dict[str, bytes]:
    """Every section of a PE image by name, as it lies in memory (VirtualSize bytes, the part
    beyond the raw data zero-filled); the first section of a name wins."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    count, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    sections: dict[str, bytes] = {}
    table = pe + 24 + optional_size
    for i in range(count):
        raw_name, virtual_size, _, raw_size, raw_offset = struct.unpack_from("<8sIIII", image, table + 40 * i)
        name = raw_name.rstrip(b"\0").decode()
        data = image[raw_offset:raw_offset + min(raw_size, virtual_size)]
        sections.setdefault(name, data + bytes(virtual_size - len(data)))
    return sections


@dataclasses.dataclass(frozen=True)
class Launch:
    """One image for the launcher to start: a file for the ESP, and its load options, or
    instead the arguments (after Argv[0]) of the shell parameters it is started with."""

    image: Path
    esp_name: str
    load_options: bytes | None = None
    shell_args: tuple[str, ...] | None = None

    @property
    def esp_path(self) -> str:
        return f"{ESP_IMAGE_DIR}/{self.esp_name}"


def install_launcher(vm: vmrun.Machine, *launches: Launch) -> None:
    """Makes the launcher the machine's boot image (signed under Secure Boot) and lists the
    images for it to start in this order; the images are copied as they are (unsigned)."""
    vm.boot_efi(launcher())
    lines = []
    for launch in launches:
        vm.add_esp_file(launch.esp_path, launch.image)
        line = "\\" + launch.esp_path.replace("/", "\\")
        if launch.shell_args is not None:
            line += " shell" + "".join(f" {arg.encode('utf-16-le').hex()}" for arg in launch.shell_args)
        if launch.load_options is not None:
            line += " " + launch.load_options.hex()
        lines.append(line + "\n")
    vm.add_esp_file(LAUNCHER_LIST, "".join(lines))


def launcher_variable_line(name: str, value: bytes) -> str:
    """A launcher list line that sets a volatile boot loader interface variable, as a boot
    loader would before it starts an image."""
    return f"variable {name} {value.hex()}\n"


def launcher_partition_line(guid: uuid.UUID) -> str:
    """A launcher list line after which image paths are on this GPT partition's file system."""
    return f"partition {guid.bytes_le.hex()}\n"


def launcher_image_line(esp_path: str, load_options: bytes | None = None) -> str:
    """A launcher list line that starts the image at this path ("EFI/Linux/x.efi")."""
    line = "\\" + esp_path.replace("/", "\\")
    return line + (f" {load_options.hex()}" if load_options is not None else "") + "\n"


def utf16_load_options(text: str) -> bytes:
    """Load options as a boot manager passes a command line: UTF-16LE with a terminating NUL."""
    return text.encode("utf-16-le") + b"\0\0"


def padded4(data: bytes) -> bytes:
    return data + bytes(-len(data) % 4)
