#!/bin/bash
# The demo: upssim on a pseudo-terminal, upsagent polling it from a fresh
# program directory, and upsconsole in the foreground. Leaving the console
# (or Ctrl-C) stops everything this script started.
#   scripts/demo.sh [BUILD_DIR [serial|snmp|hid]]
# With "snmp" the unit is behind a stand-in SNMP card instead: snmpd on
# 127.0.0.1 with upssim as its pass_persist program for the UPS-MIB, and the
# daemon's link is "SNMP". With "hid" it is a USB HID Power Device: the
# stand-in libusb (loaded into the daemon alone) presents the unit of
# tests/hid/flags-1bit, and the daemon's link is "HID".
set -u
build=${1:-build}
link=${2:-serial}
case "$link" in
    serial|snmp|hid) ;;
    *) echo "demo: the link is serial, snmp or hid, not $link" >&2; exit 2 ;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
bin="$top/$build/bin"
demo="$top/$build/demo"

# The demo's daemon and console must never meet a real installation's port
# 2027 (its console would send test commands to a real UPS): they run in a
# network namespace of their own where the machine allows it (and a mount
# namespace with a /run of their own), and otherwise the demo refuses to
# start while the port is taken.
port_taken() {
    (exec 3<>/dev/tcp/127.0.0.1/2027) 2>/dev/null
}
if [ -z "${UPS_DEMO_INSIDE:-}" ]; then
    if [ -z "${UPS_DEMO_NO_NAMESPACE:-}" ] && unshare -n -m true 2>/dev/null; then
        exec env UPS_DEMO_INSIDE=1 unshare -n -m --propagation private "$0" "$@"
    fi
    if port_taken; then
        echo "demo: port 2027 is in use on this host (a real upsagent?), and no network" >&2
        echo "namespace of its own can be made here (that needs root): the demo's console" >&2
        echo "would talk to that daemon and its UPS. Not started." >&2
        exit 1
    fi
else
    ip link set lo up
    # A /run of the demo's own, where the stand-in shutdown keeps its
    # pending shutdown as systemd does and the daemon reads it back.
    mount -t tmpfs -o mode=0755 tmpfs /run
    mkdir -p /run/systemd/system /run/systemd/shutdown
    touch /run/ups-standin-run
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

# The stand-in SNMP card: a private snmpd configuration and persistent
# directory (nothing of the host's /etc/snmp or /var/lib/snmp), on a free
# UDP port of 127.0.0.1. snmpd starts upssim at the first request.
start_card() {
    local card="$demo/card" community=ngroup port snmpd
    case "$bin$demo" in
        *" "*) echo "demo: snmpd cannot run a program from a path with blanks ($bin)" >&2; exit 1 ;;
    esac
    mkdir -p "$card/persist" "$card/snmpd-conf" "$card/client-conf"
    port=$(/usr/bin/python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
    cat >"$card/snmpd.conf" <<CONF
agentaddress udp:127.0.0.1:$port
rwcommunity $community 127.0.0.1
dontLogTCPWrappersConnects yes
pass_persist .1.3.6.1.2.1.33 $bin/upssim --pass-persist --control $demo/control --log $demo/sim.log
CONF
    snmpd=$(command -v snmpd || echo /usr/sbin/snmpd)
    SNMP_PERSISTENT_DIR="$card/persist" SNMPCONFPATH="$card/snmpd-conf" MIBS= \
        "$snmpd" -f -Lo -C -c "$card/snmpd.conf" -p "$card/snmpd.pid" >"$card/snmpd.log" 2>&1 &
    pids+=($!)
    export SNMP_PERSISTENT_DIR="$card/persist" SNMPCONFPATH="$card/client-conf" MIBS=
    for _ in $(seq 50); do
        snmpget -v2c -c "$community" -On -t 0.5 -r 0 "127.0.0.1:$port" \
            1.3.6.1.2.1.33.1.1.1.0 >/dev/null 2>&1 && break
        sleep 0.1
    done
    if [ ! -p "$demo/control" ]; then
        echo "the stand-in SNMP card did not start; see $card/snmpd.log" >&2
        exit 1
    fi
    device="127.0.0.1:$port"
    printf '%s\n' Local-Single SNMP "$device" "$community" 10 1 2 1 2400 >"$demo/Set/Setting.ang"
    walk="snmpwalk -v2c -c $community -On $device 1.3.6.1.2.1.33"
    if [ -n "${UPS_DEMO_INSIDE:-}" ]; then
        walk="nsenter -t $$ -n env SNMPCONFPATH=$card/client-conf SNMP_PERSISTENT_DIR=$card/persist MIBS= $walk"
    fi
    where="a stand-in SNMP card at $device (community $community)"
}

agent_env=()
if [ "$link" = snmp ]; then
    start_card
elif [ "$link" = hid ]; then
    if [ ! -e "$top/$build/lib/libfakeusb.so" ]; then
        echo "demo: $build/lib/libfakeusb.so is missing (a build without tests?)" >&2
        exit 1
    fi
    agent_env=(LD_PRELOAD="$top/$build/lib/libfakeusb.so"
               UPS_FAKEUSB_DEVICES=051d:0002:h:DEMO0001
               UPS_FAKEUSB_HID_DESCRIPTOR="$top/tests/hid/flags-1bit.desc"
               UPS_FAKEUSB_HID_REPORTS="$top/tests/hid/flags-1bit.reports"
               UPS_FAKEUSB_HID_STRINGS="Stand-in Power|HID UPS 1500|DEMO0001"
               UPS_FAKEUSB_CONTROL="$demo/control" UPS_FAKEUSB_LOG="$demo/usb.log")
    printf '%s\n' Local-Single HID "" "" 10 1 2 1 2400 >"$demo/Set/Setting.ang"
    where="a stand-in USB HID Power Device 051d:0002 (serial DEMO0001)"
else
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
    where="a simulated UPS on $device"
fi
(cd "$demo" && exec env "${agent_env[@]}" ./upsagent) >"$demo/agent.out" 2>&1 &
pids+=($!)

for _ in $(seq 50); do
    [ -e "$demo/DataBase/Event.ang" ] && break
    sleep 0.1
done

if [ "$link" = hid ]; then
    cat <<MSG
The unit is $where; upsagent reads it from $demo.
upsconsole starts in a moment: "1.Monitor UPS Information" shows the unit.
From another terminal, change what the unit reports (the report table is
tests/hid/flags-1bit.reports; its fields are listed in tests/hid/README.md):
  echo 'hid set 16 Input 16 0a 00' > $demo/control    (mains failed, by interrupt)
  echo 'hid set 16 Input 16 8c 00' > $demo/control    (mains back)
  echo 'hid set 16 Input 16 1a 00' > $demo/control    (battery low)
  echo 'hid hang' > $demo/control                     (the unit stops answering; 'hid answer')
  echo 'usb unplug' > $demo/control                   (then 'usb plug')
Every write the daemon makes to the unit is logged in $demo/usb.log
("hidset"). The host shutdown the daemon may start is a stand-in that only
writes what it would do into $demo/agent.out. Leave the console (Esc or
"8.Exit") to stop the demo.
MSG
else
cat <<MSG
upssim is $where; upsagent polls it from $demo.
upsconsole starts in a moment: "1.Monitor UPS Information" shows the unit.
From another terminal, change the simulated unit, for example:
  echo 'mains fail' > $demo/control       (then: echo 'mains restore' > ...)
  echo 'battery low' > $demo/control
  echo 'silent on' > $demo/control        (the unit stops answering; serial only)
The host shutdown the daemon may start is a stand-in that only writes what
it would do into $demo/agent.out. Leave the console (Esc or "8.Exit") to
stop the demo.
MSG
fi
if [ "$link" = snmp ]; then
    echo "The card's objects, from another terminal:"
    echo "  $walk"
fi
sleep 3
(cd "$demo" && ./upsconsole)
