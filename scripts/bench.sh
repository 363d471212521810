#!/bin/bash
# Benchmarks of the daemon's servers: upssim and upsagent in a network
# namespace of their own (ports 2027 and 3493 are fixed), the C++ load
# client against them, and the figures appended to BENCHMARKS.md. Ports 3493
# and 2027 are also measured against Debian's upsd (with the dummy-ups
# driver, in a scratch configuration) and a bare epoll floor server, in
# alternating rounds. Needs root.
#   scripts/bench.sh BUILD [LABEL]
# BENCH_ROUNDS (3) and BENCH_SECONDS (10) size that comparison.
set -eu
build=${1:-build}
label=${2:-current}
rounds=${BENCH_ROUNDS:-3}
seconds=${BENCH_SECONDS:-10}
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

# add_row HEADING HEADFILE ROW: ROW under the last row of the first table
# below the line HEADING, above any text that follows it. A missing section
# (HEADING, then the text of HEADFILE, which ends in the table's head) is
# added at the end of the file first.
add_row() {
    /usr/bin/python3 - "$out" "$1" "$2" "$3" <<'PY'
import sys
path, head, headfile, row = sys.argv[1:5]
lines = open(path).read().rstrip("\n").split("\n")
if head not in lines:
    lines += ["", head, ""] + open(headfile).read().rstrip("\n").split("\n")
start = lines.index(head)
first = next(i for i in range(start, len(lines)) if lines[i].startswith("|"))
last = first
while last + 1 < len(lines) and lines[last + 1].startswith("|"):
    last += 1
lines.insert(last + 1, row)
open(path, "w").write("\n".join(lines) + "\n")
PY
}

machine="$(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
row=$(printf '| %s | %s | %s | %s | %s / %s / %s | %s | %s | %s | %s | %s |' \
    "$(date -u +%Y-%m-%d)" "$machine" "$label" \
    "$(field "$closed" per_second)" "$(field "$closed" p50_us)" "$(field "$closed" p99_us)" \
    "$(field "$closed" p999_us)" "$(field "$closed" cpu_per_request_us)" "$threads" \
    "$(field "$churn" cpu_per_request_us)" "$(field "$churn" p99_us)" "$rss")
add_row "# Benchmarks" /dev/null "$row"

# ---- ports 3493 and 2027 against upsd ---------------------------------------
# Debian's upsd with the dummy-ups driver in a scratch configuration
# directory (never /etc/nut), on port 3494; its unit is named ups1 like the
# daemon's unit 1, so both get the same request bytes. Each runs as root in
# a mount namespace of its own with a private /run: NUT keeps PID files in
# /run/nut whatever its environment says.
nut="$work/nut"
mkdir -p "$nut"
chmod 700 "$nut"
cat >"$nut/ups.conf" <<CONF
[ups1]
    driver = dummy-ups
    port = $nut/ups1.dev
    desc = "bench unit"
CONF
# The variables the daemon serves for its unit, so both look a name up
# among about as many.
cat >"$nut/ups1.dev" <<'DEV'
battery.charge: 100
battery.voltage: 27.00
battery.voltage.nominal: 24.0
device.mfr: Bench
device.model: Dummy
device.type: ups
input.frequency: 50.0
input.frequency.nominal: 50.0
input.voltage: 230.0
input.voltage.fault: 230.0
input.voltage.nominal: 230.0
output.current.nominal: 4
output.voltage: 230.0
ups.beeper.status: enabled
ups.delay.shutdown: 120
ups.firmware: 1.0
ups.load: 20
ups.status: OL
ups.temperature: 30.0
DEV
printf 'LISTEN 127.0.0.1 3494\n' >"$nut/upsd.conf"
: >"$nut/upsd.users"
chmod 600 "$nut/ups.conf" "$nut/upsd.conf" "$nut/upsd.users"
# nut_run PROGRAM ARGS: every step execs the next, so started in the
# background its $! is the program's PID (checked: stopping it must stop it).
nut_run() {
    NUT_CONFPATH="$nut" NUT_STATEPATH="$nut" exec unshare --mount --propagation private sh -c \
        'mount -t tmpfs -o mode=0755 tmpfs /run && mkdir /run/nut && exec "$@"' sh "$@"
}
nut_run /lib/nut/dummy-ups -a ups1 -u root -F >"$nut/driver.out" 2>&1 &
driver=$!
pids+=($driver)
nut_run /lib/nut/upsd -u root -F >"$nut/upsd.out" 2>&1 &
upsd=$!
pids+=($upsd)
# The floor, started once for every round and gone by itself after them.
"$bin/server_bench" floor 3495 $((rounds * 4 * (seconds + 10) + 60)) &
floor=$!
pids+=($floor)

# ready NAME PID PORT: waits until PORT answers the GET VAR line right.
ready() {
    local answer=
    for _ in $(seq 100); do
        answer=$("$bin/server_bench" getvar 1 0.1 "$2" "$3" ups1 2>&1 || true)
        case "$answer" in requests=[1-9]*" failures=0 wrong=0 "*) return 0 ;; esac
        sleep 0.2
    done
    echo "bench: $1 does not answer GET VAR on port $3: $answer" >&2
    [ "$1" != upsd ] || cat "$nut/driver.out" "$nut/upsd.out" >&2
    exit 1
}
ready upsd "$upsd" 3494
for pid in "$driver" "$upsd"; do
    case "$(cat "/proc/$pid/comm")" in
    dummy-ups | upsd) ;;
    *) echo "bench: process $pid is not NUT's but $(cat "/proc/$pid/comm")" >&2; exit 1 ;;
    esac
done
ready upsagent "$agent" 3493
ready floor "$floor" 3495

# measure SERVER: the figures of one closed-loop run of 64 connections.
measure() {
    local result
    case "$1" in
    upsd) result=$("$bin/server_bench" getvar 64 "$seconds" "$upsd" 3494 ups1) ;;
    3493) result=$("$bin/server_bench" getvar 64 "$seconds" "$agent" 3493 ups1) ;;
    2027) result=$("$bin/server_bench" all 64 "$seconds" "$agent") ;;
    floor) result=$("$bin/server_bench" getvar 64 "$seconds" "$floor" 3495 ups1) ;;
    esac
    case "$result" in
    *" failures=0 wrong=0 "*) echo "$result" ;;
    *) echo "bench: $1: failed or wrong replies: $result" >&2; return 1 ;;
    esac
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
cat >"$work/compare.head" <<HEAD
Port 3493 (GET VAR) and port 2027 (ALL) of upsagent against Debian's upsd
with the dummy-ups driver, and against the floor: a bare epoll server
answering every line with a fixed line (\`server_bench floor\`). The same
load client for all (\`server_bench getvar\` and \`all\`): 64 connections
driven by one thread in a closed loop for $seconds s, each sending
\`GET VAR ups1 ups.status\` and reading the reply line
(\`VAR ups1 ups.status "OL"\`), or on port 2027 "ALL" + unit 1 + NUL and
the 108-byte record. Each round measures upsd, upsagent's 3493, upsagent's
2027 and the floor in turn; a run has $rounds rounds, one row each. CPU is
the server process's user + system time from /proc over the run divided by
the requests answered (upsd's alone: its driver idles meanwhile).

| Date | Machine | Label | Round | CPU per request (us): upsd | upsagent 3493 | upsagent 2027 | floor | 3493 / upsd | 2027 / upsd | Requests per second: upsd / 3493 / 2027 / floor | p99 (us): upsd / 3493 / 2027 / floor |
|---|---|---|---|---|---|---|---|---|---|---|---|
HEAD
declare -A cpu rate p99
for round in $(seq "$rounds"); do
    for server in upsd 3493 2027 floor; do
        result=$(measure "$server")
        echo "round $round, $server: $result"
        cpu[$server]=$(field "$result" cpu_per_request_us)
        rate[$server]=$(field "$result" per_second)
        p99[$server]=$(field "$result" p99_us)
    done
    cmprow=$(printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s / %s / %s / %s | %s / %s / %s / %s |' \
        "$(date -u +%Y-%m-%d)" "$machine" "$label" "$round" \
        "${cpu[upsd]}" "${cpu[3493]}" "${cpu[2027]}" "${cpu[floor]}" \
        "$(ratio "${cpu[3493]}" "${cpu[upsd]}")" "$(ratio "${cpu[2027]}" "${cpu[upsd]}")" \
        "${rate[upsd]}" "${rate[3493]}" "${rate[2027]}" "${rate[floor]}" \
        "${p99[upsd]}" "${p99[3493]}" "${p99[2027]}" "${p99[floor]}")
    add_row "## Port 3493 and port 2027 against upsd" "$work/compare.head" "$cmprow"
    echo "$cmprow"
done
for pid in "$floor" "$upsd" "$driver"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
done

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
cat >"$work/memory.head" <<'HEAD'
The daemon idle, polling one unit: over a serial line (upssim), behind
an SNMP card (the stand-in: snmpd with upssim as its pass_persist program),
and a USB HID Power Device (the stand-in libusb, which carries upssim's unit
model and a control thread of its own where the daemon would map libusb).
RSS counts every page of the shared libraries the process has touched; PSS
shares them out among the processes that map them.

| Date | Machine | Serial: RSS / PSS (kB) | SNMP: RSS / PSS (kB) | HID: RSS / PSS (kB) |
|---|---|---|---|---|
HEAD

# The daemon with a USB HID Power Device: the stand-in libusb (loaded into
# the daemon instead of libusb) presenting the unit of tests/hid/flags-1bit.
kill "$agent"; wait "$agent" 2>/dev/null || true
hid="$work/hid"
mkdir -p "$hid"
rm -f "$work/prog/DataBase/M1"*.ang
printf '%s\n' Local-Single HID "" "" 10 1 2 1 2400 >"$work/prog/Set/Setting.ang"
(cd "$work/prog" && exec env LD_PRELOAD="$top/$build/lib/libfakeusb.so" \
    UPS_FAKEUSB_DEVICES=051d:0002:h:BENCH0001 \
    UPS_FAKEUSB_HID_DESCRIPTOR="$top/tests/hid/flags-1bit.desc" \
    UPS_FAKEUSB_HID_REPORTS="$top/tests/hid/flags-1bit.reports" \
    UPS_FAKEUSB_CONTROL="$hid/control" UPS_FAKEUSB_LOG="$hid/usb.log" \
    ./upsagent --return-hold 1) >"$work/agent-hid.out" 2>&1 &
agent=$!
pids+=($agent)
sleep 5
grep -q . "$work/prog/DataBase/M1"*.ang || { echo "bench: the HID unit was not polled" >&2; exit 1; }
hid_memory=$(memory "$agent")

# Mains failure reported by interrupt to host shutdown started, 20 trials:
# from the stand-in's log line of the changed Input report (it goes out on
# the interrupt endpoint as the line is taken) to the stand-in shutdown's
# call log written (its own start, a Python interpreter's, included).
# Between trials the mains returns and the daemon cancels (return hold 1 s).
hid_trials=$(/usr/bin/python3 - "$hid/control" "$hid/usb.log" "$UPS_STANDIN_LOG" <<'PY'
import json, os, statistics, sys, time
control, log, calls = sys.argv[1:4]
BATTERY = ["hid set 16 Feature 16 0a 00", "hid set 16 Input 16 0a 00"]
MAINS = ["hid set 16 Feature 16 8c 00", "hid set 16 Input 16 8c 00"]
def send(lines):
    with open(control, "w") as f:
        f.write("".join(l + "\n" for l in lines))
def called():
    try:
        with open(calls) as f:
            return [json.loads(l) for l in f]
    except FileNotFoundError:
        return []
def wait(pred, what, limit=60):
    end = time.monotonic() + limit
    while not pred():
        if time.monotonic() > end:
            sys.exit("bench: timed out waiting for " + what)
        time.sleep(0.01)
def stamps(text):
    with open(log, errors="replace") as f:
        return [float(l.split()[0]) for l in f if l.split(" ", 2)[1:2] == ["ctl"] and text in l]
took = []
for trial in range(20):
    n = len(called())
    sent = len(stamps(BATTERY[1]))
    send(BATTERY)
    wait(lambda: len(called()) > n and called()[-1][:1] == ["-h"], "the host shutdown")
    t1 = os.stat(calls).st_mtime
    wait(lambda: len(stamps(BATTERY[1])) > sent, "the report in the log")
    took.append(t1 - stamps(BATTERY[1])[sent])
    n = len(called())
    send(MAINS)
    wait(lambda: any(c[:1] == ["-c"] for c in called()[n:]), "the cancel")
ms = sorted(t * 1000 for t in took)
print("%.0f / %.0f / %.0f" % (ms[0], statistics.median(ms), ms[-1]))
PY
) || exit 1
cat >"$work/hid.head" <<'HEAD'
A USB HID Power Device (the stand-in libusb presenting tests/hid/flags-1bit,
loaded into the daemon): a mains failure reported on the interrupt endpoint
to the host shutdown started, 20 trials; from the stand-in's log line of
the changed Input report to the stand-in shutdown's log of the call (its
own Python start included), in milliseconds.

| Date | Machine | Interrupt to shutdown call: min / median / max (ms) |
|---|---|---|
HEAD
hidrow=$(printf '| %s | %s | %s |' "$(date -u +%Y-%m-%d)" "$machine" "$hid_trials")
add_row "## HID Power Device: mains failure to host shutdown" "$work/hid.head" "$hidrow"
echo "HID: mains failure by interrupt to shutdown call: $hid_trials ms (min / median / max)"

memrow=$(printf '| %s | %s | %s | %s | %s |' "$(date -u +%Y-%m-%d)" "$machine" "$serial_memory" \
    "$snmp_memory" "$hid_memory")
add_row "## Memory by link" "$work/memory.head" "$memrow"
echo "memory: serial $serial_memory, SNMP $snmp_memory, HID $hid_memory (RSS / PSS kB)"

echo "closed loop: $closed"
echo "churn:       $churn"
echo "threads under load: $threads; RSS after: $rss"
echo "$row"
