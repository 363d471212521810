#!/bin/sh
# Runs every test against the programs of one build directory: the unit
# tests through CTest, then the system tests through pytest. Exits non-zero
# when either fails; the runners' own summaries are the last lines.
set -u
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1

ctest --test-dir "$build" --output-on-failure -j 2 --timeout 120
unit=$?

# Parallel system tests need a network namespace per test process (port
# 2027 is fixed); where none can be made, they run one at a time.
jobs=${UPS_TEST_JOBS:-4}
if ! unshare -n true 2>/dev/null; then
    echo "no private network namespaces here: system tests run one at a time"
    jobs=0
fi
UPS_BIN_DIR="$top/$build/bin" /usr/bin/python3 -m pytest -p no:cacheprovider \
    -n "$jobs" -q -rfE tests/system tests/hid
system=$?

[ $unit -eq 0 ] && [ $system -eq 0 ]
