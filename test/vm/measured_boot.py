"""What a measured boot of a unified kernel image must leave in the TPM, worked out by the
test on its own: the sections the stub uses, read from the image file; the events it logs for
them and for the command line and profile; the firmware's crypto-agile event log (TCG PC
Client Platform Firmware Profile, section 10) parsed from the probe's dump; and PCR values
replayed from a list of events (each extend is H(old || H(data)), every PCR starting at zero).
"""

from __future__ import annotations

import dataclasses
import hashlib
import struct

# The section kinds the stub knows, in the order in which it measures them.
SECTION_ORDER = (".linux", ".osrel", ".cmdline", ".initrd", ".ucode", ".splash", ".dtb", ".uname", ".sbat",
                 ".pcrsig", ".pcrpkey", ".profile", ".dtbauto", ".hwids")
UNMEASURED_SECTIONS = (".pcrsig",)

PCR_SECTIONS, PCR_KERNEL_PARAMETERS, PCR_SYSEXTS = 11, 12, 13
STUB_PCRS = (PCR_SECTIONS, PCR_KERNEL_PARAMETERS, PCR_SYSEXTS)

EV_EVENT_TAG = 0x6
EV_IPL = 0xD
EV_NO_ACTION = 0x3
TAG_PROFILE_NUMBER = 0x13AED6DB
TAG_UCODE_ADDON = 0xDAC08E1A
TAG_INITRD_ADDON = 0x49DFFE0F

# TPM_ALG_ID (TPM 2.0 Part 2, table 9) and the probe's names of the banks.
BANKS = {"sha1": 0x0004, "sha256": 0x000B, "sha384": 0x000C, "sha512": 0x000D}
# EFI_TCG2_BOOT_HASH_ALG_* bits of the active-bank bitmap.
BANK_BITS = {"sha1": 0x1, "sha256": 0x2, "sha384": 0x4, "sha512": 0x8}
# The banks of the machines (vmrun's default) that assert_measured expects.
DEFAULT_BANKS = ("sha1", "sha256", "sha384")


def pe_section_table(image: bytes) -> list[tuple[str, bytes]]:
    """Every section of a PE image in header order: its name and its bytes as the loader maps
    them (VirtualSize bytes, zero-filled beyond the raw data)."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[:2] != b"MZ" or image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE image")
    count, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional_size
    sections = []
    for i in range(count):
        raw_name, virtual_size, _, raw_size, raw_offset = struct.unpack_from("<8sIIII", image, table + 40 * i)
        data = image[raw_offset:raw_offset + min(raw_size, virtual_size)]
        sections.append((raw_name.rstrip(b"\0").decode("latin-1"), data + bytes(virtual_size - len(data))))
    return sections


def _first_of_each_kind(group: list[tuple[str, bytes]]) -> dict[str, bytes]:
    found: dict[str, bytes] = {}
    for name, data in group:
        if name in SECTION_ORDER and data:
            found.setdefault(name, data)
    return found


def selected_sections(image: bytes, profile: int | None) -> dict[str, bytes]:
    """The sections a boot of the given profile uses: the base group's, each kind the profile
    carries replaced by the profile's (None: an image without profiles, the base alone)."""
    table = pe_section_table(image)
    starts = [i for i, (name, _) in enumerate(table) if name == ".profile"]
    base = table[:starts[0]] if starts else table
    sections = _first_of_each_kind(base)
    if profile is not None:
        end = starts[profile + 1] if profile + 1 < len(starts) else len(table)
        sections.update(_first_of_each_kind(table[starts[profile]:end]))
    return sections


@dataclasses.dataclass(frozen=True)
class Event:
    """An event as the stub asks the firmware to log it: the hashed data and the event data."""

    pcr: int
    type: int
    hashed: bytes
    event_data: bytes

    def digest(self, bank: str) -> bytes:
        return hashlib.new(bank, self.hashed).digest()


def utf16z(text: str) -> bytes:
    return text.encode("utf-16-le") + b"\0\0"


def section_events(sections: dict[str, bytes]) -> list[Event]:
    """PCR 11: each measured section's name (with its NUL), then its contents."""
    events = []
    for name in SECTION_ORDER:
        if name in sections and name not in UNMEASURED_SECTIONS:
            description = utf16z(name)
            events.append(Event(PCR_SECTIONS, EV_IPL, name.encode() + b"\0", description))
            events.append(Event(PCR_SECTIONS, EV_IPL, sections[name], description))
    return events


def profile_event(profile: int) -> Event:
    number = utf16z(str(profile))
    return Event(PCR_KERNEL_PARAMETERS, EV_EVENT_TAG, number,
                 struct.pack("<II", TAG_PROFILE_NUMBER, len(number)) + number)


def command_line_event(text: str) -> Event:
    """A command-line text from outside the image (load options, shell arguments, SMBIOS)."""
    return Event(PCR_KERNEL_PARAMETERS, EV_IPL, utf16z(text), utf16z(text))


def sidecar_archive_event(pcr: int, archive: bytes, description: str) -> Event:
    """A cpio archive the stub packed from files beside the image (credentials: PCR 12,
    system extensions: PCR 13, configuration extensions: PCR 12), trailer included."""
    return Event(pcr, EV_IPL, archive, utf16z(description))


def addon_event(tag: int, data: bytes, file_name: str) -> Event:
    """A microcode or initrd payload of an add-on, described by its file name."""
    name = utf16z(file_name)
    return Event(PCR_KERNEL_PARAMETERS, EV_EVENT_TAG, data, struct.pack("<II", tag, len(name)) + name)


@dataclasses.dataclass(frozen=True)
class LogEvent:
    pcr: int
    type: int
    digests: dict[str, bytes]  # bank name -> digest
    event_data: bytes

    def description(self) -> str:
        """The event's text: EV_IPL data, or the data of an EV_EVENT_TAG, as UTF-16 with its NUL."""
        data = self.event_data
        if self.type == EV_EVENT_TAG:
            _, size = struct.unpack_from("<II", data)
            data = data[8:8 + size]
        if len(data) < 2 or len(data) % 2 or data[-2:] != b"\0\0":
            raise ValueError(f"event data {data.hex()} is no UTF-16 text with a NUL")
        return data[:-2].decode("utf-16-le")


def parse_event_log(log: bytes) -> list[LogEvent]:
    """The events of a crypto-agile log after its Spec ID event (whose algorithm list gives
    the digest sizes); every byte must belong to an event."""
    pcr, event_type = struct.unpack_from("<II", log)
    (size,) = struct.unpack_from("<I", log, 28)
    spec = log[32:32 + size]
    if event_type != EV_NO_ACTION or not spec.startswith(b"Spec ID Event03\0"):
        raise ValueError("the log does not start with a crypto-agile Spec ID event")
    (n_algorithms,) = struct.unpack_from("<I", spec, 24)
    digest_sizes = dict(struct.unpack_from("<HH", spec, 28 + 4 * i) for i in range(n_algorithms))
    names = {alg: name for name, alg in BANKS.items()}
    events, pos = [], 32 + size
    while pos < len(log):
        pcr, event_type, count = struct.unpack_from("<III", log, pos)
        pos += 12
        digests = {}
        for _ in range(count):
            (alg,) = struct.unpack_from("<H", log, pos)
            digests[names.get(alg, hex(alg))] = log[pos + 2:pos + 2 + digest_sizes[alg]]
            pos += 2 + digest_sizes[alg]
        (size,) = struct.unpack_from("<I", log, pos)
        if pos + 4 + size > len(log):
            raise ValueError("the last event runs past the end of the log")
        events.append(LogEvent(pcr, event_type, digests, log[pos + 4:pos + 4 + size]))
        pos += 4 + size
    return events


def replay(digests: list[bytes], bank: str) -> bytes:
    value = bytes(hashlib.new(bank).digest_size)
    for digest in digests:
        value = hashlib.new(bank, value + digest).digest()
    return value


class MeasuredBootChecks:
    """Assertions for a unittest.TestCase whose probe report (self.probe) holds a TPM report."""

    def active_banks(self) -> list[str]:
        bitmap = self.probe.number("tpm.active-banks")
        return [bank for bank, bit in BANK_BITS.items() if bitmap & bit]

    def log_events(self) -> list[LogEvent]:
        self.assertEqual(self.probe.status("tpm.log-status"), 0)
        self.assertFalse(self.probe.flag("tpm.log-truncated"))
        return parse_event_log(self.probe.bytes("tpm.log"))

    def assert_measured(self, expected: list[Event]) -> None:
        """PCRs 11 to 13 hold exactly the expected events, in order, in every active bank: the
        log's entries for them match the events, and the PCRs match their replay."""
        banks = self.active_banks()
        self.assertEqual(banks, list(DEFAULT_BANKS), "the TPM should have SHA-1, SHA-256 and SHA-384 active")
        logged = [e for e in self.log_events() if e.pcr in STUB_PCRS]
        self.assertEqual([(e.pcr, e.type, e.event_data) for e in logged],
                         [(e.pcr, e.type, e.event_data) for e in expected])
        for got, want in zip(logged, expected):
            self.assertEqual(got.digests, {bank: want.digest(bank) for bank in banks}, got.description())
        for pcr in STUB_PCRS:
            for bank in banks:
                value = replay([e.digest(bank) for e in expected if e.pcr == pcr], bank)
                self.assertEqual(self.probe.bytes(f"tpm.pcr.{pcr}.{bank}").hex(), value.hex(), f"PCR {pcr} {bank}")
