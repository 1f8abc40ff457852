#!/usr/bin/env bash
# Measures what korvane-boot costs: the stub's size, the image builder against cat and objcopy,
# the boot path under QEMU with a deterministic clock against a floor application, and sidecar
# packing at scale on the fake firmware. Writes bench/REPORT.md and bench/results.json.
# Not a test: nothing here passes or fails on a figure. Takes about an hour (the QEMU runs).
#
#   scripts/bench.sh [--only size,builder,boot,pack] [--rounds N] [--boot-runs N]
#
# Builds without sanitizers into BENCH_BUILD_DIR (default build-bench/).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BENCH_BUILD_DIR:-$root/build-bench}

bash "$root/scripts/setup.sh" time
cmake -S "$root" -B "$build_dir" -G Ninja -DKORVANE_SANITIZE=OFF
cmake --build "$build_dir" --target bench-programs
exec python3 "$root/bench/run.py" --build-dir "$build_dir" --output-dir "$root/bench" "$@"
