"""The image builder against the plain copy of the same bytes: korvane-uki build, cat of the
stub, kernel and initrd into one file, and objcopy appending the same two sections to the stub;
and signed, korvane-uki signing as it writes against korvane-uki build followed by sbsign.
Wall time and peak memory of each, from rounds interleaved so that the machine's load falls on
all alike; every output is overwritten, as a user rebuilding an image does, after the previous
outputs have gone to disk."""

from __future__ import annotations

import os
import re
import struct
import subprocess
import tempfile
import time
from pathlib import Path

from common import TIME, summary, write_random  # first: it puts the VM test helpers on the path

import linux_guest

INITRD_SIZE = 100 << 20


def _timed(argv: list[str], stats: Path) -> tuple[float, int]:
    """Wall seconds of one run (measured here, finer than time's output) and its peak RSS in KiB."""
    start = time.perf_counter()
    proc = subprocess.run([TIME, "-v", "-o", str(stats), *argv], capture_output=True, stdin=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed ({proc.returncode}): {proc.stderr.decode(errors='replace')}")
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", stats.read_text())
    return seconds, int(match.group(1)) if match else 0


def _pe_layout(stub: Path) -> tuple[int, int, int]:
    """ImageBase, SectionAlignment and SizeOfImage of a PE32+ image."""
    data = stub.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    alignment = struct.unpack_from("<I", data, optional + 32)[0]
    size_of_image = struct.unpack_from("<I", data, optional + 56)[0]
    return image_base, alignment, size_of_image


def _align(n: int, a: int) -> int:
    return (n + a - 1) // a * a


def objcopy_command(stub: Path, kernel: Path, initrd: Path, out: Path) -> list[str]:
    """objcopy appending .linux and .initrd at the addresses after the stub's image."""
    image_base, alignment, size_of_image = _pe_layout(stub)
    linux_at = _align(size_of_image, alignment)
    initrd_at = _align(linux_at + kernel.stat().st_size, alignment)
    return ["objcopy",
            "--add-section", f".linux={kernel}", "--change-section-vma", f".linux={image_base + linux_at:#x}",
            "--set-section-flags", ".linux=data,readonly",
            "--add-section", f".initrd={initrd}", "--change-section-vma", f".initrd={image_base + initrd_at:#x}",
            "--set-section-flags", ".initrd=data,readonly",
            str(stub), str(out)]


def _check_image(path: Path, kernel: Path, initrd: Path) -> None:
    """The timed output is a real image: its last two sections hold the kernel and the initrd."""
    from size_figures import pe_sections
    sections = {s["name"]: s for s in pe_sections(path.read_bytes())}
    for name, source in ((".linux", kernel), (".initrd", initrd)):
        if name not in sections or sections[name]["virtual_size"] != source.stat().st_size:
            raise RuntimeError(f"{path.name}: no {name} section of {source.stat().st_size} bytes")


def _signing_key(work: Path) -> tuple[Path, Path]:
    key, cert = work / "db.key", work / "db.crt"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=korvane bench",
                    "-days", "1", "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True,
                   stdin=subprocess.DEVNULL)
    return key, cert


def run(build_dir: Path, rounds: int) -> dict:
    stub = build_dir / "korvane-stub-x64.efi"
    uki = build_dir / "tools" / "korvane-uki"
    kernel = linux_guest.debian_kernel()
    with tempfile.TemporaryDirectory(prefix="korvane-bench-builder-", dir=build_dir) as tmp:
        work = Path(tmp)
        initrd = write_random(work / "initrd", INITRD_SIZE, 1)
        stats = work / "time.txt"
        key, cert = _signing_key(work)
        outputs = {name: work / f"{name}.efi" for name in ("korvane-uki", "cat", "objcopy", "korvane-uki signed",
                                                           "korvane-uki + sbsign")}
        build = [str(uki), "build", "--stub", str(stub), "--linux", str(kernel), "--initrd", str(initrd)]
        unsigned = work / "unsigned.efi"
        commands = {
            "korvane-uki": build + ["--output", str(outputs["korvane-uki"])],
            "cat": ["/bin/sh", "-c", 'exec cat "$0" "$1" "$2" > "$3"', str(stub), str(kernel), str(initrd),
                    str(outputs["cat"])],
            "objcopy": objcopy_command(stub, kernel, initrd, outputs["objcopy"]),
            "korvane-uki signed": build + ["--secureboot-private-key", str(key), "--secureboot-certificate",
                                           str(cert), "--output", str(outputs["korvane-uki signed"])],
            "korvane-uki + sbsign": ["/bin/sh", "-c", 'key=$1 cert=$2 out=$3; shift 3; "$@" --output "$0" && '
                                     'exec sbsign --key "$key" --cert "$cert" --output "$out" "$0" 2>/dev/null',
                                     str(unsigned), str(key), str(cert), str(outputs["korvane-uki + sbsign"]),
                                     *build],
        }
        seconds: dict[str, list[float]] = {name: [] for name in commands}
        peak_kib: dict[str, list[int]] = {name: [] for name in commands}
        # A first round, not counted, creates the outputs: writing a new file and replacing one are
        # different work, and every counted run replaces.
        for round_number in range(rounds + 1):
            for name, argv in commands.items():
                # The previous run's output goes to disk first, so that its writeback does not stall this one.
                os.sync()
                s, kib = _timed(argv, stats)
                if round_number > 0:
                    seconds[name].append(s)
                    peak_kib[name].append(kib)
        for name in ("korvane-uki", "objcopy", "korvane-uki signed", "korvane-uki + sbsign"):
            _check_image(outputs[name], kernel, initrd)
        sizes = {name: path.stat().st_size for name, path in outputs.items()}
    tools = {name: {"seconds": summary(seconds[name]), "peak_rss_kib": max(peak_kib[name]),
                    "output_bytes": sizes[name]} for name in commands}
    cat_best = tools["cat"]["seconds"]["best"]
    return {
        "inputs": {"stub_bytes": stub.stat().st_size, "kernel": kernel.parent.name,
                   "kernel_bytes": kernel.stat().st_size, "initrd_bytes": INITRD_SIZE},
        "rounds": rounds,
        "tools": tools,
        "ratio_to_cat": {name: tools[name]["seconds"]["best"] / cat_best for name in commands},
        "signed_ratio_to_sbsign": tools["korvane-uki signed"]["seconds"]["best"] /
                                  tools["korvane-uki + sbsign"]["seconds"]["best"],
        "goal_ratio_to_cat": 1.5,
    }
