#!/usr/bin/env bash
# Runs the fuzz harnesses one after the other (all of them, or those named) on the seeds the
# build generated and the inputs kept in fuzz/corpus/NAME (regression cases). What a run finds
# goes to BUILD_DIR/fuzz-corpus/NAME and is used again next time; with --scratch it goes to a
# directory that is removed afterwards (the tests use that). A crash leaves its input in
# BUILD_DIR/fuzz-findings/ and makes the script exit non-zero.
#
#   scripts/fuzz.sh [--minutes N | --seconds N] [--scratch] [NAME...]
#
# Prints one line per harness: executions, coverage (edges) and features reached.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
seconds=60
scratch=0
names=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --minutes) seconds=$(($2 * 60)); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --scratch) scratch=1; shift ;;
    -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
    *) names+=("$1"); shift ;;
    esac
done
if [[ ${#names[@]} -eq 0 ]]; then
    for f in "$root"/fuzz/*.cpp; do
        name=$(basename "$f" .cpp)
        [[ $name == support || $name == seeds ]] || names+=("$name")
    done
fi

status=0
for name in "${names[@]}"; do
    harness=$build_dir/fuzz/fuzz-$name
    [[ -x $harness ]] || { echo "fuzz: $harness is not built" >&2; exit 2; }
    if [[ $scratch -eq 1 ]]; then
        corpus=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-$name.XXXXXX")
    else
        corpus=$build_dir/fuzz-corpus/$name
        mkdir -p "$corpus"
    fi
    findings=$build_dir/fuzz-findings
    mkdir -p "$findings"
    dirs=("$corpus")
    for d in "$build_dir/fuzz/seeds/$name" "$root/fuzz/corpus/$name"; do
        [[ -d $d ]] && dirs+=("$d")
    done
    options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 -max_len=65536 -print_final_stats=1
        -artifact_prefix="$findings/$name-")
    [[ -f $root/fuzz/dict/$name.dict ]] && options+=(-dict="$root/fuzz/dict/$name.dict")
    log=$(mktemp "${TMPDIR:-/tmp}/fuzz-$name-log.XXXXXX")
    rc=0
    "$harness" "${options[@]}" "${dirs[@]}" >"$log" 2>&1 || rc=$?
    if [[ $rc -ne 0 ]]; then
        cat "$log" >&2
        echo "fuzz: $name FAILED (exit $rc); input in $findings" >&2
        status=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
    corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$done_line")
    echo "fuzz: $name: ${seconds}s, ${execs:-?} executions, cov ${cov:-?}, ft ${ft:-?}, corpus ${corp:-?}"
    rm -f "$log"
    [[ $scratch -eq 1 ]] && rm -rf "$corpus"
done
exit $status
