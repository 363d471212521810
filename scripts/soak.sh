#!/bin/bash
# The soak run: upssim on a pseudo-terminal, upsagent polling it, a client
# asking port 2027 ("ALL" for every unit) and port 3493 (LIST UPS, LIST VAR)
# all the time, and random state changes through upssim's control FIFO, for
# SOAK_MINUTES (default 10). Prints the daemon's RSS, threads, open
# descriptors and CPU time at the start and at the end; fails when the
# daemon died or stopped answering. Runs in a network namespace of its own
# (ports 2027 and 3493 are fixed), with the stand-in shutdown first on PATH.
# Needs root.
#   scripts/soak.sh BUILD [MINUTES]
set -eu
build=${1:-build}
minutes=${2:-${SOAK_MINUTES:-10}}
top=$(cd "$(dirname "$0")/.." && pwd)
bin="$top/$build/bin"

. "$top/scripts/rig.sh"
rig_enter soak "$build" "$minutes"
rig_start

ready=
for _ in $(seq 100); do
    if (exec 3<>/dev/tcp/127.0.0.1/2027) 2>/dev/null; then ready=1; break; fi
    sleep 0.1
done
[ -n "$ready" ] || { echo "soak: the daemon does not listen on port 2027" >&2; exit 1; }
# The polling client: one port 2027 session asking for every unit's record
# every 100 ms (as a console does), and a port 3493 connection a second.
# Every 5 s it writes how many requests were answered and how many failed.
/usr/bin/python3 - "$work/client.count" <<'PY' &
import os, socket, sys, time
out = sys.argv[1]
answered = failed = 0
s = None
last_mgmt = last_note = 0.0
def mgmt():
    with socket.create_connection(("127.0.0.1", 3493), timeout=5) as m:
        m.sendall(b"LIST UPS\nLIST VAR ups1\n")
        got = b""
        # Each request ends with its END LIST line, or is one ERR line (a
        # unit not read yet).
        while sum(1 for line in got.split(b"\n")
                  if line.startswith((b"END LIST", b"ERR "))) < 2:
            chunk = m.recv(65536)
            if not chunk:
                raise OSError("closed")
            got += chunk
while True:
    try:
        if s is None:
            s = socket.create_connection(("127.0.0.1", 2027), timeout=5)
        for unit in (1, 2, 3, 4):
            s.sendall(b"ALL" + bytes([unit]) + b"\0")
            got = b""
            while len(got) < 108:
                chunk = s.recv(108 - len(got))
                if not chunk:
                    raise OSError("closed")
                got += chunk
            answered += 1
        now = time.monotonic()
        if now - last_mgmt >= 1:
            last_mgmt = now
            mgmt()
            answered += 1
    except OSError as e:
        failed += 1
        with open(out + ".errors", "a") as f:
            f.write("%s %r\n" % (time.strftime("%H:%M:%S"), e))
        if s is not None:
            s.close()
        s = None
    now = time.monotonic()
    if now - last_note >= 5:
        last_note = now
        with open(out + ".tmp", "w") as f:
            f.write("%d %d\n" % (answered, failed))
        os.replace(out + ".tmp", out)
    time.sleep(0.1)
PY
pids+=($!)

sleep 5

# The daemon's figures: RSS (kB), threads, open descriptors, CPU seconds.
figures() {
    local rss threads fds cpu
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$agent/status")
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$agent/status")
    fds=$(ls "/proc/$agent/fd" | wc -l)
    cpu=$(awk -v hz="$(getconf CLK_TCK)" '{sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz}' \
        "/proc/$agent/stat")
    echo "rss_kb=$rss threads=$threads fds=$fds cpu_s=$cpu"
}
start=$(figures)
started=$(date +%s)
echo "soak: $minutes min from $(date -u '+%Y-%m-%d %H:%M:%S') UTC"
echo "start: $start"

# Random state changes, one every 2..10 s; "reset" now and then brings the
# unit back to a healthy state so the run sees failures and recoveries.
changes=("mains fail" "mains restore" "battery low" "battery normal" "test on" "test off"
         "bypass on" "bypass off" "fault on" "fault off" "noise off" "reset"
         "set input_voltage 190" "set load 80" "set load 20" "mains restore")
made=0
end=$((started + minutes * 60))
RANDOM=$$
while [ "$(date +%s)" -lt "$end" ]; do
    kill -0 "$agent" 2>/dev/null || { echo "soak: the daemon died" >&2; exit 1; }
    change=${changes[RANDOM % ${#changes[@]}]}
    echo "$change" >"$work/control"
    made=$((made + 1))
    sleep $((2 + RANDOM % 9))
done
echo "reset" >"$work/control"
sleep 3

kill -0 "$agent" 2>/dev/null || { echo "soak: the daemon died" >&2; exit 1; }
finish=$(figures)
read -r answered failed <"$work/client.count"
[ -e "$work/client.count.errors" ] && sed 's/^/client: /' "$work/client.count.errors"
elapsed=$(( $(date +%s) - started ))
echo "end:   $finish"
echo "state changes: $made; client requests answered: $answered, failed: $failed"
echo "daemon CPU over the run: $(awk -v a="${start##*cpu_s=}" -v b="${finish##*cpu_s=}" -v t="$elapsed" \
    'BEGIN {printf "%.2f s (%.3f %%)", b - a, 100 * (b - a) / t}')"
shutdowns=$(cat "$work/shutdown.calls" 2>/dev/null | grep -c '"-h"' || true)
echo "host shutdowns started (stand-in): $shutdowns"
# A failed request is a daemon that stopped answering or closed a session.
[ "$answered" -gt 0 ] && [ "$failed" -eq 0 ] || { echo "soak: the client was not answered" >&2; exit 1; }
