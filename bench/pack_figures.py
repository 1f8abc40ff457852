"""Sidecar packing at scale on the fake firmware (pack-bench, bench/pack/pack-bench.cpp)."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path


def run(build_dir: Path, rounds: int) -> dict:
    program = build_dir / "bench" / "pack-bench"
    proc = subprocess.run([str(program), str(rounds)], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        raise RuntimeError(f"pack-bench failed ({proc.returncode}): {proc.stderr}")
    cases = json.loads(proc.stdout)
    for case in cases:
        payload = case["payload_bytes"]
        case["copied_per_payload_byte"] = case["copied_bytes"] / payload
        case["peak_memory_over_archive"] = case["peak_memory_bytes"] / case["archive_bytes"]
    return {"rounds": rounds, "cases": cases}
