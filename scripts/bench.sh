#!/bin/bash
# Benchmarks of the port 2027 server: upssim and upsagent in a network
# namespace of their own (port 2027 is fixed), the C++ load client against
# them, and the figures appended to BENCHMARKS.md. Needs root.
#   scripts/bench.sh BUILD [LABEL]
set -eu
build=${1:-build}
label=${2:-current}
top=$(cd "$(dirname "$0")/.." && pwd)
bin="$top/$build/bin"

. "$top/scripts/rig.sh"
rig_enter bench "$@"
rig_start
sleep 3
memory() { # RSS and PSS of a process, in kB
    echo "$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status") / $(awk '/^Pss:/ {print $2}' "/proc/$1/smaps_rollup")"
}
serial_memory=$(memory "$agent")

"$bin/server_bench" closed 64 10 "$agent" >"$work/closed.out" &
sleep 5
threads=$(awk '/^Threads:/ {print $2}' "/proc/$agent/status")
wait $!
closed=$(cat "$work/closed.out")
churn=$("$bin/server_bench" churn 1000 5 "$agent")
rss=$(awk '/^VmRSS:/ {print $2 " " $3}' "/proc/$agent/status")

field() { echo "$1" | tr ' ' '\n' | awk -F= -v k="$2" '$1 == k {print $2}'; }
out="$top/BENCHMARKS.md"
if [ ! -e "$out" ]; then
    cat >"$out" <<'HEAD'
# Benchmarks

`make bench` runs `scripts/bench.sh`: upssim and upsagent in a network
namespace of their own, and the C++ load client `server_bench` against port
2027. *Closed loop*: 64 clients, each sending "ALL" + unit 1 + NUL and
reading the 108-byte record before its next request, for 10 s. *Churn*:
1000 connections a second for 5 s, each opened, asked once and closed. CPU
is the daemon's user + system time from /proc divided by the requests
answered (the daemon also polls its unit meanwhile, a few microseconds a
second). Each run appends one row.

| Date | Machine | Server | Closed loop req/s | p50 / p99 / p99.9 (us) | CPU per request (us) | Threads under load | Churn: CPU per connection (us) | Churn p99 (us) | RSS after |
|---|---|---|---|---|---|---|---|---|---|
HEAD
fi
machine="$(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
row=$(printf '| %s | %s | %s | %s | %s / %s / %s | %s | %s | %s | %s | %s |' \
    "$(date -u +%Y-%m-%d)" "$machine" "$label" \
    "$(field "$closed" per_second)" "$(field "$closed" p50_us)" "$(field "$closed" p99_us)" \
    "$(field "$closed" p999_us)" "$(field "$closed" cpu_per_request_us)" "$threads" \
    "$(field "$churn" cpu_per_request_us)" "$(field "$churn" p99_us)" "$rss")
# The row goes under the table's last row, above any text that follows it.
/usr/bin/python3 - "$out" "$row" <<'PY'
import sys
path, row = sys.argv[1], sys.argv[2]
lines = open(path).read().split("\n")
last = max(i for i, line in enumerate(lines) if line.startswith("| "))
lines.insert(last + 1, row)
open(path, "w").write("\n".join(lines))
PY
# The daemon's memory with a unit behind an SNMP card: the same daemon, idle,
# polling the stand-in card (snmpd with upssim as its pass_persist program).
kill "$agent"; wait "$agent" 2>/dev/null || true
card="$work/card"
mkdir -p "$card/persist" "$card/conf"
cat >"$card/snmpd.conf" <<CONF
agentaddress udp:127.0.0.1:16161
rwcommunity ngroup 127.0.0.1
pass_persist .1.3.6.1.2.1.33 $bin/upssim --pass-persist --control $card/control --log /dev/null
CONF
SNMP_PERSISTENT_DIR="$card/persist" SNMPCONFPATH="$card/conf" MIBS= \
    snmpd -f -Lo -C -c "$card/snmpd.conf" -p "$card/snmpd.pid" >"$card/snmpd.log" 2>&1 &
pids+=($!)
printf '%s\n' Local-Single SNMP 127.0.0.1:16161 ngroup 10 1 2 1 2400 >"$work/prog/Set/Setting.ang"
(cd "$work/prog" && exec ./upsagent) >"$work/agent-snmp.out" 2>&1 &
agent=$!
pids+=($agent)
sleep 5
grep -q . "$work/prog/DataBase/M1"*.ang || { echo "bench: the SNMP unit was not polled" >&2; exit 1; }
snmp_memory=$(memory "$agent")
memrow=$(printf '| %s | %s | %s | %s |' "$(date -u +%Y-%m-%d)" "$machine" "$serial_memory" "$snmp_memory")
/usr/bin/python3 - "$out" "$memrow" <<'PY'
import sys
path, row = sys.argv[1], sys.argv[2]
text = open(path).read()
head = "## Memory by link"
if head not in text:
    text = text.rstrip("\n") + "\n\n" + head + """

The daemon idle, polling one unit: over a serial line (upssim), and behind
an SNMP card (the stand-in: snmpd with upssim as its pass_persist program).
RSS counts every page of the shared libraries the process has touched; PSS
shares them out among the processes that map them.

| Date | Machine | Serial: RSS / PSS (kB) | SNMP: RSS / PSS (kB) |
|---|---|---|---|
"""
lines = text.split("\n")
start = lines.index(head)
last = max(i for i, line in enumerate(lines) if i > start and line.startswith("|"))
lines.insert(last + 1, row)
open(path, "w").write("\n".join(lines))
PY
echo "memory: serial $serial_memory, SNMP $snmp_memory (RSS / PSS kB)"

echo "closed loop: $closed"
echo "churn:       $churn"
echo "threads under load: $threads; RSS after: $rss"
echo "$row"
