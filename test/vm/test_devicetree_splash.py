#!/usr/bin/env python3
"""The devicetree a kernel finds in the configuration table, and the splash it finds on the
screen, after the firmware booted a UKI of the stub and the probe. Each boot checks one of each:

- A machine with an SMBIOS identity (types 1 and 2) and an image with a .dtb, three .dtbauto
  blobs and a .hwids table that names a blob for two of this machine's hardware IDs: the blob
  of the higher-priority ID is installed, not the .dtb; a 24-bit splash is drawn centred.
  Before it, the launcher starts an image whose kernel cannot start: its .dtb must be gone
  from the configuration table when it returns, or it would decide the choice.
- An image with a .dtb only: it is installed as it was (OVMF has no fix-up protocol); a
  32-bit splash with an alpha channel is blended onto the background.

The hardware IDs, the devicetrees, the bitmaps and the frames expected on screen are all made
here from the standards (name-based UUIDs, the flattened devicetree format, BMP).
"""

import hashlib
import re
import secrets
import struct
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402
import reports  # noqa: E402
import vmrun  # noqa: E402

# What the stub logs has the form "file:line@function: message".
STUB_MESSAGE = re.compile(r"^\S+:\d+@\w+: ")
EFI_ACPI_RECLAIM_MEMORY = 9
EFI_UNSUPPORTED = (1 << 63) | 3
BACKGROUND = (0, 0, 0)  # blue, green, red on firmware whose vendor is not Apple


# --- Hardware IDs --------------------------------------------------------------------------

CHID_NAMESPACE = bytes.fromhex("70ffd8124c7f4c7d0000000000000000")
# Identity fields in the order in which a CHID hashes them (bit n of a field mask = field n).
CHID_FIELDS = ("manufacturer", "family", "product", "sku", "baseboard-manufacturer", "baseboard-product")
CHID_TYPE_MASKS = {3: 0x3F, 6: 0x39, 8: 0x35, 10: 0x33, 4: 0x0F, 5: 0x07, 7: 0x09, 9: 0x05, 11: 0x03}


def normalize(value: str) -> str:
    """Leading blanks, then the zeros right after them, and trailing blanks do not count."""
    return value.lstrip(" ").lstrip("0").rstrip(" ")


def chid(identity: dict[str, str], chid_type: int) -> str:
    """The CHID of one type: a version-5 name-based UUID (SHA-1) over the normalised fields,
    UTF-16LE, joined by "&", in its usual text form."""
    mask = CHID_TYPE_MASKS[chid_type]
    names = [normalize(identity.get(field, "")) for bit, field in enumerate(CHID_FIELDS) if mask & (1 << bit)]
    d = hashlib.sha1(CHID_NAMESPACE + "&".join(names).encode("utf-16-le")).digest()
    data1, data2, data3 = struct.unpack(">IHH", d[:8])
    data3 = (data3 & 0x0FFF) | 0x5000
    data4 = bytes([(d[8] & 0x3F) | 0x80]) + d[9:16]
    return f"{data1:08x}-{data2:04x}-{data3:04x}-{data4[:2].hex()}-{data4[2:].hex()}"


def smbios_args(identity: dict[str, str]) -> tuple[str, ...]:
    def value(field: str) -> str:
        return identity[field].replace(",", ",,")
    return (f"type=1,manufacturer={value('manufacturer')},product={value('product')},"
            f"family={value('family')},sku={value('sku')}",
            f"type=2,manufacturer={value('baseboard-manufacturer')},product={value('baseboard-product')}")


# --- Devicetrees ---------------------------------------------------------------------------

FDT_BEGIN_NODE, FDT_END_NODE, FDT_PROP, FDT_END = 1, 2, 3, 9


def devicetree(compatible: list[str], model: str) -> bytes:
    """A flattened devicetree (version 17): a root node with "compatible", "model" and a
    "korvane,token" unique to this blob, and one empty child node."""
    strings = bytearray()
    struct_block = bytearray()

    def word(v: int):
        struct_block.extend(struct.pack(">I", v))

    def prop(name: str, value: bytes):
        offset = strings.find(name.encode() + b"\0")
        if offset < 0:
            offset = len(strings)
            strings.extend(name.encode() + b"\0")
        word(FDT_PROP)
        word(len(value))
        word(offset)
        struct_block.extend(images.padded4(value))

    word(FDT_BEGIN_NODE)
    struct_block.extend(b"\0\0\0\0")
    prop("compatible", b"".join(s.encode() + b"\0" for s in compatible))
    prop("model", model.encode() + b"\0")
    prop("korvane,token", secrets.token_bytes(16))
    word(FDT_BEGIN_NODE)
    struct_block.extend(images.padded4(b"chosen\0"))
    word(FDT_END_NODE)
    word(FDT_END_NODE)
    word(FDT_END)

    header_size, reserve_map = 40, bytes(16)  # the memory reservation map: its end entry only
    off_struct = header_size + len(reserve_map)
    off_strings = off_struct + len(struct_block)
    total = off_strings + len(strings)
    header = struct.pack(">10I", 0xD00DFEED, total, off_struct, off_strings, header_size, 17, 16, 0,
                         len(strings), len(struct_block))
    return header + reserve_map + bytes(struct_block) + bytes(strings)


# --- Bitmaps and the screen ----------------------------------------------------------------

def bmp(rows: list[bytes], info_header: bytes) -> bytes:
    """A BMP file: the file header, the information header given, then the rows bottom-up,
    each padded to 4 bytes. `rows` are top-down."""
    pixels = b"".join(images.padded4(row) for row in reversed(rows))
    offset = 14 + len(info_header)
    return b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + info_header + pixels


def info_header(width: int, height: int, bpp: int, compression: int, size: int = 40,
                masks: tuple[int, ...] = ()) -> bytes:
    header = struct.pack("<IiiHHIIiiII", size, width, height, 1, bpp, compression, 0, 2835, 2835, 0, 0)
    header += struct.pack(f"<{len(masks)}I", *masks)
    return header + bytes(size - len(header))


class Picture:
    """A splash bitmap and the pixels (blue, green, red) the stub must draw for it on the
    background, top-down."""

    def __init__(self, data: bytes, width: int, height: int, drawn: list[list[tuple[int, int, int]]]):
        self.data, self.width, self.height, self.drawn = data, width, height, drawn


def picture_24bit(width: int, height: int) -> Picture:
    colours = [[((7 * x + 3 * y + 1) % 256, (5 * y + 11) % 256, (x * y + 40) % 256) for x in range(width)]
               for y in range(height)]
    rows = [b"".join(bytes(c) for c in row) for row in colours]
    data = bmp(rows, info_header(width, height, 24, 0))
    # Opaque: the file's own colours replace the screen's.
    return Picture(data, width, height, colours)


# A 56-byte header with bit fields: red in the low byte, green in 6 bits, blue in the third
# byte, alpha in the top byte.
MASK_RED, MASK_GREEN, MASK_BLUE, MASK_ALPHA = 0x000000FF, 0x0000FC00, 0x00FF0000, 0xFF000000


def decode_channel(pixel: int, mask: int) -> int:
    shift = (mask & -mask).bit_length() - 1
    scale = 255 // ((1 << bin(mask).count("1")) - 1)
    return (((pixel & mask) >> shift) * scale) & 0xFF


def blend(colour: int, screen: int, alpha: int) -> int:
    return (colour * alpha + screen * (255 - alpha)) >> 8


def picture_32bit_alpha(width: int, height: int) -> Picture:
    values, drawn = [], []
    for y in range(height):
        row_values, row_drawn = [], []
        for x in range(width):
            # Transparent at the left edge, opaque at the right one, in between elsewhere.
            alpha = 0 if x == 0 else 255 if x == width - 1 else (37 * x + 91 * y) % 256
            red, green, blue = (13 * x + 200) % 256, (3 * (x + y)) % 64, (17 * y + 5) % 256
            pixel = red | green << 10 | blue << 16 | alpha << 24
            row_values.append(struct.pack("<I", pixel))
            decoded = [decode_channel(pixel, mask) for mask in (MASK_BLUE, MASK_GREEN, MASK_RED)]
            a = decode_channel(pixel, MASK_ALPHA)
            row_drawn.append(tuple(blend(c, s, a) for c, s in zip(decoded, BACKGROUND)))
        values.append(b"".join(row_values))
        drawn.append(row_drawn)
    header = info_header(width, height, 32, 3, size=56, masks=(MASK_RED, MASK_GREEN, MASK_BLUE, MASK_ALPHA))
    return Picture(bmp(values, header), width, height, drawn)


class ExpectedScreen:
    """The whole frame: the background with the picture centred on it."""

    def __init__(self, picture: Picture, screen_width: int, screen_height: int):
        self.x = (screen_width - picture.width) // 2
        self.y = (screen_height - picture.height) // 2
        frame = bytearray(bytes(BACKGROUND) + b"\0") * (screen_width * screen_height)
        for row, pixels in enumerate(picture.drawn):
            start = ((self.y + row) * screen_width + self.x) * 4
            frame[start:start + 4 * picture.width] = b"".join(bytes(p) + b"\0" for p in pixels)
        self.sha256 = hashlib.sha256(frame).digest()
        # Where the frame differs from the background, and the pixels there.
        differing = [(x, y) for y, row in enumerate(picture.drawn) for x, p in enumerate(row) if p != BACKGROUND]
        xs, ys = [x for x, _ in differing], [y for _, y in differing]
        self.extent = (self.x + min(xs), self.y + min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)
        self.extent_pixels = b"".join(bytes(picture.drawn[y][x]) for y in range(min(ys), max(ys) + 1)
                                      for x in range(min(xs), max(xs) + 1))


class SplashChecks:
    """Checks on the probe's screen report; the test class sets result, probe and picture."""

    result: vmrun.VmResult
    probe: reports.Report
    picture: Picture
    # The line after which the image with the probe runs, when something ran before it.
    PROBE_IMAGE_STARTED: str | None = None

    def test_stub_logs_nothing(self):
        # The firmware's graphics console would also draw a message over the splash.
        lines = self.result.lines()
        lines = lines[lines.index(self.PROBE_IMAGE_STARTED):] if self.PROBE_IMAGE_STARTED else lines
        self.assertEqual([line for line in lines if STUB_MESSAGE.match(line)], [])

    def test_splash_is_on_screen_as_rendered_here(self):
        screen = ExpectedScreen(self.picture, self.probe.number("screen.width"), self.probe.number("screen.height"))
        self.assertEqual(self.probe.status("screen.read-status"), images.EFI_SUCCESS)
        self.assertEqual(self.probe.bytes("screen.corner"), bytes(BACKGROUND))
        extent = tuple(self.probe.number(f"screen.extent.{k}") for k in ("x", "y", "width", "height"))
        self.assertEqual(extent, screen.extent)
        self.assertEqual(self.probe.bytes("screen.extent.pixels").hex(), screen.extent_pixels.hex())
        self.assertEqual(self.probe.bytes("screen.sha256"), screen.sha256)


class DevicetreeChecks:
    probe: reports.Report
    installed: bytes

    def test_installed_blob_is_the_expected_one_byte_for_byte(self):
        self.assertEqual(self.probe.number("dtb.entries"), 1)
        self.assertTrue(self.probe.flag("dtb.present"))
        self.assertEqual(self.probe.number("dtb.totalsize"), len(self.installed))
        self.assertEqual(self.probe.bytes("dtb.sha256"), hashlib.sha256(self.installed).digest())

    def test_copy_lives_in_acpi_reclaim_memory(self):
        self.assertEqual(self.probe.number("dtb.memory-type"), EFI_ACPI_RECLAIM_MEMORY)


def boot_probe_uki(name: str, smbios: tuple[str, ...], *sections: str) -> tuple[vmrun.VmResult, reports.Report]:
    """Boots a UKI of the probe and the sections straight from the firmware."""
    with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
        uki = images.build_uki_from_args(Path(tmp) / "uki.efi", "--linux", str(images.probe()), *sections)
        with vmrun.Machine(smbios=smbios, name=name) as vm:
            vm.boot_efi(uki)
            result = vm.run(timeout=180)
    return result, reports.only_report(result.text(), "PROBE")


def boot_after_failed_image(name: str, smbios: tuple[str, ...], failing_sections: list[str],
                            sections: list[str]) -> tuple[vmrun.VmResult, reports.Report, reports.Report]:
    """Through the launcher: first a UKI whose kernel is one the stub cannot start (the add-on
    base image: no boot protocol header), then the UKI of the probe."""
    with tempfile.TemporaryDirectory(prefix="korvane-uki-") as tmp:
        failing = images.build_uki_from_args(Path(tmp) / "failing.efi", "--linux",
                                             str(vmrun.build_file("korvane-addon-x64.efi")), *failing_sections)
        uki = images.build_uki_from_args(Path(tmp) / "uki.efi", "--linux", str(images.probe()), *sections)
        with vmrun.Machine(smbios=smbios, name=name) as vm:
            images.install_launcher(vm, images.Launch(failing, "failing.efi"), images.Launch(uki, "uki.efi"))
            result = vm.run(timeout=180)
    text = result.text()
    return result, reports.only_report(text, "LAUNCHER", unfinished=True), reports.only_report(text, "PROBE")


def written(folder: Path, name: str, data: bytes | str) -> str:
    path = folder / name
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    return str(path)


class HardwareIdSelectionTest(unittest.TestCase, DevicetreeChecks, SplashChecks):
    PROBE_IMAGE_STARTED = "LAUNCHER image.1.load-status=0x0000000000000000"
    # Blanks and zeros that normalising drops or keeps, and text beyond ASCII.
    IDENTITY = {"manufacturer": "   00ACME  ", "family": "Gödel Boards", "product": " 0 Board 7",
                "sku": "SKU-7", "baseboard-manufacturer": "Korvane", "baseboard-product": "KB-1"}
    OTHER_MACHINE = dict(IDENTITY, product="Board 8")

    @classmethod
    def setUpClass(cls):
        cls.blobs = [
            devicetree(["acme,board-c"], "Board C"),
            # Only the first string counts: this blob is not one for acme,board-a.
            devicetree(["acme,board-b", "acme,board-a"], "Board B"),
            devicetree(["acme,board-a", "acme,common"], "Board A"),
        ]
        cls.installed = cls.blobs[2]
        # In table order the lower-priority ID comes first; the other machine's ID shares all
        # but the product name, so only the fields' values tell the two apart.
        devices = (("Board C", "acme,board-c", chid(cls.OTHER_MACHINE, 3)),
                   ("Board B", "acme,board-b", chid(cls.IDENTITY, 6)),
                   ("Board A", "acme,board-a", chid(cls.IDENTITY, 3)))
        hwids = "".join(f"[{name}]\ncompatible = {compatible}\nchid = {text}\n\n" for name, compatible, text in devices)
        cls.picture = picture_24bit(37, 23)
        with tempfile.TemporaryDirectory(prefix="korvane-dt-") as tmp:
            folder = Path(tmp)
            # Were it left installed, its compatible would select the second .dtbauto blob.
            failing = ["--dtb", written(folder, "left.dtb", devicetree(["acme,board-b"], "Left behind"))]
            sections = ["--dtb", written(folder, "fallback.dtb", devicetree(["korvane,fallback"], "Fallback"))]
            for i, blob in enumerate(cls.blobs):
                sections += ["--dtbauto", written(folder, f"auto{i}.dtb", blob)]
            sections += ["--hwids", written(folder, "hwids.ini", hwids),
                         "--splash", written(folder, "splash.bmp", cls.picture.data)]
            cls.result, cls.launcher, cls.probe = boot_after_failed_image(
                "dt-hwids", smbios_args(cls.IDENTITY), failing, sections)

    def test_failing_image_returns_and_the_probe_ends_the_boot(self):
        self.assertEqual(self.launcher.status("image.0.start-status"), EFI_UNSUPPORTED)
        self.assertEqual(self.launcher.status("image.1.load-status"), images.EFI_SUCCESS)
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())

    def test_blob_of_the_type_3_id_wins_over_type_6_and_over_the_dtb(self):
        # Also shows that the failed boot put the firmware's (empty) devicetree entry back.
        self.assertEqual(self.probe.text("dtb.compatible"), "acme,board-a")


class PlainDtbTest(unittest.TestCase, DevicetreeChecks, SplashChecks):
    @classmethod
    def setUpClass(cls):
        cls.installed = devicetree(["korvane,plain", "korvane,any"], "Plain")
        cls.picture = picture_32bit_alpha(29, 17)
        with tempfile.TemporaryDirectory(prefix="korvane-dt-") as tmp:
            folder = Path(tmp)
            cls.result, cls.probe = boot_probe_uki(
                "dt-plain", (), "--dtb", written(folder, "plain.dtb", cls.installed),
                "--splash", written(folder, "splash.bmp", cls.picture.data))

    def test_probe_runs_and_ends_the_boot(self):
        self.assertEqual(self.result.debug_exit, images.PROBE_EXIT_VALUE, self.result.text())

    def test_root_compatible_is_the_blobs_first_string(self):
        self.assertEqual(self.probe.text("dtb.compatible"), "korvane,plain")


if __name__ == "__main__":
    unittest.main(verbosity=2)
