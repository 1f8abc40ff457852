#!/usr/bin/env python3
"""Runs the benchmark's sections and writes results.json and REPORT.md (scripts/bench.sh builds
first and calls this). With --only, the other sections keep the figures of the last run."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

SECTIONS = ("size", "builder", "pack", "boot")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", type=Path, required=True, help="a build without sanitizers")
    parser.add_argument("--output-dir", type=Path, required=True, help="where results.json and REPORT.md go")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help=f"comma-separated sections to run (default: all of {','.join(SECTIONS)})")
    parser.add_argument("--rounds", type=int, default=7, help="rounds of the builder and packing timings (default 7)")
    parser.add_argument("--boot-runs", type=int, default=2, help="boots per image and configuration (default 2)")
    args = parser.parse_args()
    build_dir = args.build_dir.resolve()
    os.environ["KORVANE_BUILD_DIR"] = str(build_dir)
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import boot_figures
    import builder_figures
    import common
    import pack_figures
    import report_writer
    import size_figures

    only = [s for s in args.only.split(",") if s]
    unknown = [s for s in only if s not in SECTIONS]
    if unknown:
        parser.error(f"unknown section(s): {', '.join(unknown)}")

    results_path = args.output_dir / "results.json"
    results = json.loads(results_path.read_text()) if results_path.is_file() else {}
    results["machine"] = common.machine()
    runners = {
        "size": lambda: size_figures.run(build_dir),
        "builder": lambda: builder_figures.run(build_dir, args.rounds),
        "pack": lambda: pack_figures.run(build_dir, args.rounds),
        "boot": lambda: boot_figures.run(build_dir, args.boot_runs),
    }
    for section in SECTIONS:
        if section not in only:
            continue
        print(f"bench: {section} ...", file=sys.stderr, flush=True)
        start = time.monotonic()
        figures = runners[section]()
        figures["taken"] = time.strftime("%Y-%m-%d %H:%M:%S %Z")
        figures["seconds"] = round(time.monotonic() - start, 1)
        results[section] = figures
        results_path.write_text(json.dumps(results, indent=2) + "\n")
    (args.output_dir / "REPORT.md").write_text(report_writer.render(results))
    print(f"bench: wrote {results_path} and {args.output_dir / 'REPORT.md'}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
