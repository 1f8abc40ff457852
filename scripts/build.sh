#!/usr/bin/env bash
# Configures and builds both builds into BUILD_DIR (default build/). Used by demo.sh and test.sh.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}

cmake -S "$root" -B "$build_dir" -G Ninja
cmake --build "$build_dir"
