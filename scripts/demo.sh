#!/bin/bash
# The demo: upssim on a pseudo-terminal, upsagent polling it from a fresh
# program directory, and upsconsole in the foreground. Leaving the console
# (or Ctrl-C) stops everything this script started.
set -u
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
bin="$top/$build/bin"
demo="$top/$build/demo"

# The demo's daemon and console must never meet a real installation's port
# 2027 (its console would send test commands to a real UPS): they run in a
# network namespace of their own where the machine allows it, and otherwise
# the demo refuses to start while the port is taken.
port_taken() {
    (exec 3<>/dev/tcp/127.0.0.1/2027) 2>/dev/null
}
if [ -z "${UPS_DEMO_INSIDE:-}" ]; then
    if [ -z "${UPS_DEMO_NO_NAMESPACE:-}" ] && unshare -n true 2>/dev/null; then
        exec env UPS_DEMO_INSIDE=1 unshare -n "$0" "$@"
    fi
    if port_taken; then
        echo "demo: port 2027 is in use on this host (a real upsagent?), and no network" >&2
        echo "namespace of its own can be made here (that needs root): the demo's console" >&2
        echo "would talk to that daemon and its UPS. Not started." >&2
        exit 1
    fi
else
    ip link set lo up
fi

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
cp "$bin/upsagent" "$bin/upsconsole" "$bin/mail" "$bin/sms" "$demo/"

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

for _ in $(seq 50); do
    [ -e "$demo/DataBase/Event.ang" ] && break
    sleep 0.1
done

cat <<MSG
upssim is a simulated UPS on $device; upsagent polls it from $demo.
upsconsole starts in a moment: "1.Monitor UPS Information" shows the unit.
From another terminal, change the simulated unit, for example:
  echo 'mains fail' > $demo/control       (then: echo 'mains restore' > ...)
  echo 'battery low' > $demo/control
  echo 'silent on' > $demo/control        (the unit stops answering)
The host shutdown the daemon may start is a stand-in that only writes what
it would do into $demo/agent.out. Leave the console (Esc or "8.Exit") to
stop the demo.
MSG
sleep 3
(cd "$demo" && ./upsconsole)
