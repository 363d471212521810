#!/bin/bash
# The demo: upssim on a pseudo-terminal, upsagent polling it from a fresh
# program directory, and the status history as it is written. Ctrl-C stops
# everything this script started.
set -u
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
bin="$top/$build/bin"
demo="$top/$build/demo"

pids=()
cleanup() {
    trap - INT TERM EXIT
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    echo
    echo "demo stopped; its files are in $demo"
    exit 0
}
trap cleanup INT TERM EXIT

rm -rf "$demo"
mkdir -p "$demo/Set"
chmod 700 "$demo/Set"
cp "$bin/upsagent" "$demo/"

# The host shutdown that a mains failure may start is a stand-in that only
# says what it would do.
export PATH="$top/tests/standin:$PATH"
unset UPS_STANDIN_LOG

"$bin/upssim" --control "$demo/control" --log "$demo/sim.log" >"$demo/sim.out" 2>"$demo/sim.err" &
pids+=($!)
for _ in $(seq 50); do
    device=$(head -n 1 "$demo/sim.out" 2>/dev/null)
    [ -n "$device" ] && break
    sleep 0.1
done
if [ -z "$device" ]; then
    echo "upssim did not start; see $demo/sim.err" >&2
    exit 1
fi

printf '%s\n' Local-Single RS232 "$device" "" 10 1 2 1 2400 >"$demo/Set/Setting.ang"
(cd "$demo" && exec ./upsagent) >"$demo/agent.out" 2>&1 &
pids+=($!)

history="$demo/DataBase/M1$(date +%Y%m%d).ang"
for _ in $(seq 50); do
    [ -e "$history" ] && break
    sleep 0.1
done

cat <<MSG
upssim is a simulated UPS on $device; upsagent polls it from $demo.
Shown below as they grow: the status history of unit 1 (time, input V,
fault V, output V, load %, Hz, battery V, temperature; one line a second,
zeros until three replies in a row agree), the event log (time, unit,
event code, new state, UPS type) and upsagent's output, where the stand-in
shutdown says what it would have done.
Change the simulated unit from another terminal, for example:
  echo 'mains fail' > $demo/control       (then: echo 'mains restore' > ...)
  echo 'battery low' > $demo/control
  echo 'silent on' > $demo/control        (the unit stops answering)
Ctrl-C stops the demo.

MSG
tail -n +1 -f "$history" "$demo/DataBase/Event.ang" "$demo/agent.out" &
pids+=($!)
wait "${pids[1]}"
