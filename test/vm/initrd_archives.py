"""The initrd a kernel receives from the stub, worked out by the test: cpio archives in the
"new ASCII" (newc) format as the stub writes them, the parts in their hand-over order, and
the probe's account of the initrd it fetched (its cpio.* keys, probe/cpio-report.h) read back.

The stub's archives follow newc with fixed choices: inode numbers from 1 in member order, uid,
gid, mtime and device numbers 0, nlink 1 for files and directories alike, and a fixed trailer
record; each archive first holds the directories leading to its target directory (0555, the
last one with the archive's own mode), then the files named "<directory>/<file name>".
"""

from __future__ import annotations

import dataclasses
import hashlib
import stat

# The trailer as the stub writes it: c_nlink 1, c_namesize 11 written "0000000B".
TRAILER = (b"070701" + b"00000000" * 4 + b"00000001" + b"00000000" * 6 + b"0000000B" + b"00000000"
           + b"TRAILER!!!\0" + bytes(3))
LEADING_DIRECTORY_MODE = 0o555


def padded4(data: bytes) -> bytes:
    return data + bytes(-len(data) % 4)


@dataclasses.dataclass(frozen=True)
class Member:
    name: str
    ino: int
    mode: int  # file type and permission bits
    data: bytes = b""


@dataclasses.dataclass(frozen=True)
class Part:
    """One part of the initrd: an archive with its members, or raw bytes (no members)."""

    data: bytes
    members: tuple[Member, ...] = ()
    kind: str = "cpio"


def _record(member: Member) -> bytes:
    name = member.name.encode() + b"\0"
    fields = (member.ino, member.mode, 0, 0, 1, 0, len(member.data), 0, 0, 0, 0, len(name), 0)
    header = b"070701" + b"".join(b"%08x" % f for f in fields) + name
    return padded4(header) + padded4(member.data)


def archive(members: list[Member]) -> Part:
    """The members, each starting at a multiple of 4, then the trailer."""
    return Part(b"".join(_record(m) for m in members) + TRAILER, tuple(members))


def directory_archive(directory: str, directory_mode: int, files: list[tuple[str, bytes]], file_mode: int) -> Part:
    """An archive of the stub's kind: the directories leading to `directory`, then the files
    (given in the order the stub must pack them) in it."""
    components = directory.split("/")
    dirs = [("/".join(components[:i]), LEADING_DIRECTORY_MODE) for i in range(1, len(components))]
    dirs.append((directory, directory_mode))
    members = [Member(path, 0, stat.S_IFDIR | mode) for path, mode in dirs]
    members += [Member(f"{directory}/{name}", 0, stat.S_IFREG | file_mode, data) for name, data in files]
    return archive([dataclasses.replace(m, ino=i) for i, m in enumerate(members, 1)])


def raw(data: bytes) -> Part:
    """Bytes that are no archive, as they lie in the combined initrd: zero-filled to 4."""
    return Part(padded4(data), kind="raw")


def combined(parts: list[Part]) -> bytes:
    return b"".join(padded4(p.data) for p in parts)


@dataclasses.dataclass(frozen=True)
class ReportedPart:
    offset: int
    kind: str
    size: int
    sha256: bytes
    padding: int | None
    members: tuple[tuple[str, int, int, int, bytes], ...]  # name, ino, mode, size, sha256


def reported_parts(probe) -> list[ReportedPart]:
    """The parts and members of the fetched initrd, as the probe walked them."""
    members: dict[int, list] = {}
    for m in range(probe.number("cpio.members")):
        key = f"cpio.member.{m}"
        members.setdefault(probe.number(f"{key}.part"), []).append(
            (probe.text(f"{key}.name"), probe.number(f"{key}.ino"), probe.number(f"{key}.mode"),
             probe.number(f"{key}.size"), probe.bytes(f"{key}.sha256")))
    parts = []
    for n in range(probe.number("cpio.parts")):
        key = f"cpio.part.{n}"
        padding = probe.number(f"{key}.padding") if f"{key}.padding" in probe else None
        parts.append(ReportedPart(probe.number(f"{key}.offset"), probe.raw(f"{key}.kind"), probe.number(f"{key}.size"),
                                  probe.bytes(f"{key}.sha256"), padding, tuple(members.get(n, ()))))
    return parts


def expected_report(parts: list[Part]) -> list[ReportedPart]:
    """What the probe must report for an initrd made of these parts, one after the other."""
    out, offset = [], 0
    for part in parts:
        data = padded4(part.data)
        members = tuple((m.name, m.ino, m.mode, len(m.data), hashlib.sha256(m.data).digest()) for m in part.members)
        out.append(ReportedPart(offset, part.kind, len(data), hashlib.sha256(data).digest(),
                                0 if part.kind == "cpio" else None, members))
        offset += len(data)
    return out
