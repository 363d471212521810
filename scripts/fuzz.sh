#!/bin/sh
# Runs every fuzz target of one build directory (made with UPS_FUZZ=ON) for
# SECONDS each, starting from its seed corpus in tests/fuzz/corpus. The
# corpus is copied to a scratch directory first, so what the fuzzer adds
# never lands in the repository. A crash, leak, time-out or sanitizer error
# fails the run; its input is kept in BUILD/fuzz-findings/<target>/.
#
#   scripts/fuzz.sh BUILD [SECONDS] [TARGET...]
set -u
build=${1:?usage: scripts/fuzz.sh BUILD [SECONDS] [TARGET...]}
seconds=${2:-60}
[ $# -gt 2 ] && shift 2 || set --
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
targets=${*:-$(cat "$build/fuzz_targets.txt")}

scratch=$(mktemp -d /tmp/upsfuzzrun.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT INT TERM
findings="$top/$build/fuzz-findings"
failed=""
for t in $targets; do
    bin="$build/bin/fuzz_$t"
    if [ ! -x "$bin" ]; then
        echo "fuzz_$t: not built"
        failed="$failed $t"
        continue
    fi
    rm -rf "$findings/$t" # what an earlier run kept
    mkdir -p "$scratch/$t/corpus" "$scratch/$t/out"
    cp tests/fuzz/corpus/"$t"/* "$scratch/$t/corpus/" 2>/dev/null
    # The targets' own diagnostics (stdout, stderr) are dropped; libFuzzer
    # and the sanitizers still report.
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$scratch/$t/out/" \
        "$scratch/$t/corpus" >"$scratch/$t/log" 2>&1
    status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$t/log")
    if [ $status -ne 0 ] || ls "$scratch/$t/out/" | grep -q .; then
        echo "fuzz_$t: FINDING (exit $status)"
        grep -E "ERROR|SUMMARY|^ +#[0-9]+ " "$scratch/$t/log" | head -20
        mkdir -p "$findings/$t"
        cp "$scratch/$t/out/"* "$scratch/$t/log" "$findings/$t/" 2>/dev/null
        echo "  kept in $findings/$t/"
        failed="$failed $t"
    else
        echo "fuzz_$t: ${runs:-?} runs in ${seconds} s, nothing found"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzzing found something in:$failed"
    exit 1
fi
echo "fuzzing: every target ran ${seconds} s, nothing found"
