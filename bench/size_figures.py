"""The stub's size: its bytes, its sections, and what each object file contributes, read from
the linker's map (add_efi_application writes FILE.efi.map beside every EFI application)."""

from __future__ import annotations

import re
import struct
from collections import defaultdict
from pathlib import Path

BUDGET = 64 * 1024
TOP = 15

# lld's map: "Address Size Align Out In Symbol"; input sections name their object file.
_INPUT = re.compile(r"^\s*[0-9a-fA-F]+\s+([0-9a-fA-F]+)\s+\d+\s{9}(\S.*?):\((\S+)\)\s*$")


def pe_sections(image: bytes) -> list[dict]:
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional_size
    out = []
    for i in range(count):
        name, virtual_size, _, raw_size, _ = struct.unpack_from("<8sIIII", image, table + 40 * i)
        out.append({"name": name.rstrip(b"\0").decode(), "virtual_size": virtual_size, "raw_size": raw_size})
    return out


def contributors(map_text: str) -> list[dict]:
    """Bytes per object file (its functions, constants and data), largest first."""
    sizes: dict[str, int] = defaultdict(int)
    for line in map_text.splitlines():
        match = _INPUT.match(line)
        if match:
            obj = Path(match.group(2)).name
            obj = re.sub(r"\.(cpp\.)?obj$|\.cpp\.o$|\.o$", "", obj)
            sizes[obj] += int(match.group(1), 16)
    return [{"object": name, "bytes": size} for name, size in sorted(sizes.items(), key=lambda kv: -kv[1])]


def run(build_dir: Path) -> dict:
    stub = build_dir / "korvane-stub-x64.efi"
    image = stub.read_bytes()
    mapped = Path(f"{stub}.map")
    objects = contributors(mapped.read_text()) if mapped.is_file() else []
    sections = pe_sections(image)
    attributed = sum(o["bytes"] for o in objects)
    return {
        "stub_bytes": len(image),
        "budget_bytes": BUDGET,
        "sections": sections,
        "objects": objects[:TOP],
        "object_count": len(objects),
        "attributed_bytes": attributed,
        # Merged string literals and linker-made data carry no object file in the map.
        "unattributed_bytes": sum(s["virtual_size"] for s in sections if s["name"] != ".reloc") - attributed,
    }
