"""What the benchmark's sections share: paths, the machine description, timing helpers."""

from __future__ import annotations

import fcntl
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time
from contextlib import contextmanager
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "test" / "vm"))

VM_LOCK = Path("/tmp/korvane-vm.lock")
TIME = "/usr/bin/time"


@contextmanager
def vm_lock():
    """Only one QEMU at a time on the machine, as for the VM tests."""
    with open(VM_LOCK, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def write_random(path: Path, size: int, seed: int) -> Path:
    """size bytes that no compression or deduplication can shortcut, the same for a seed."""
    rng = random.Random(seed)
    block = rng.randbytes(1 << 20)
    with open(path, "wb") as out:
        written = 0
        while written < size:
            n = min(len(block), size - written)
            out.write(block[:n])
            written += n
            block = block[1:] + block[:1]
    return path


def _first_line(args: list[str]) -> str:
    try:
        out = subprocess.run(args, capture_output=True, text=True, stdin=subprocess.DEVNULL).stdout
    except OSError:
        return "unknown"
    return out.strip().splitlines()[0] if out.strip() else "unknown"


def _package_version(name: str) -> str:
    return _first_line(["dpkg-query", "-W", "-f=${Version}", name])


def machine() -> dict:
    """The machine the figures were taken on."""
    cpu = "unknown"
    try:
        match = re.search(r"^model name\s*:\s*(.+)$", Path("/proc/cpuinfo").read_text(), re.M)
        cpu = match.group(1) if match else cpu
    except OSError:
        pass
    memory = 0
    try:
        match = re.search(r"^MemTotal:\s*(\d+) kB", Path("/proc/meminfo").read_text(), re.M)
        memory = int(match.group(1)) // 1024 if match else 0
    except OSError:
        pass
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_mib": memory,
        "kernel": platform.release(),
        "os": _first_line(["sh", "-c", ". /etc/os-release && echo \"$PRETTY_NAME\""]),
        "load_average": list(os.getloadavg()),
        "clang": _first_line(["clang++", "--version"]),
        "qemu": _package_version("qemu-system-x86"),
        "ovmf": _package_version("ovmf"),
        "swtpm": _package_version("swtpm"),
        "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
    }


def summary(values: list[float]) -> dict:
    return {"best": min(values), "median": statistics.median(values), "worst": max(values), "runs": values}
