# Sourced by bench.sh and soak.sh: the daemon against upssim in a network
# namespace of its own (ports 2027 and 3493 are fixed), in a scratch
# directory, with the recording stand-in shutdown first on PATH. The caller
# sets `top` (the source tree) and `bin` (the built programs).

# rig_enter NAME ARGS...: runs the calling script again inside a new network
# and mount namespace (with ARGS; /run a tmpfs of its own), then, inside it,
# sets up `work`, `pids` (stopped at exit) and the stand-in shutdown. Needs
# root.
rig_enter() {
    local name=$1
    shift
    if [ -z "${UPS_RIG_INSIDE:-}" ]; then
        if ! unshare -n -m true 2>/dev/null; then
            echo "$name: needs root and network namespaces (ports 2027 and 3493 are fixed)" >&2
            exit 1
        fi
        exec env UPS_RIG_INSIDE=1 unshare -n -m --propagation private "$0" "$@"
    fi
    ip link set lo up
    # A /run of the rig's own: the stand-in keeps its pending shutdown there
    # as systemd does, and the daemon reads it back.
    mount -t tmpfs -o mode=0755 tmpfs /run
    mkdir -p /run/systemd/system /run/systemd/shutdown
    touch /run/ups-standin-run
    work=$(mktemp -d "/tmp/ups$name.XXXXXX")
    pids=()
    trap rig_cleanup EXIT
    # A host shutdown the daemon starts reaches only the stand-in.
    export PATH="$top/tests/standin:$PATH"
    export UPS_STANDIN_LOG="$work/shutdown.calls"
    [ "$(command -v shutdown)" = "$top/tests/standin/shutdown" ] || {
        echo "$name: the stand-in shutdown is not first on PATH" >&2
        exit 1
    }
}

rig_cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}

# rig_start: upssim on a pseudo-terminal ($device) and upsagent polling it
# from the program directory $work/prog ($agent is its pid).
rig_start() {
    "$bin/upssim" --control "$work/control" --log /dev/null >"$work/sim.out" 2>"$work/sim.err" &
    pids+=($!)
    device=
    for _ in $(seq 50); do
        device=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
        [ -n "$device" ] && break
        sleep 0.1
    done
    [ -n "$device" ] || { echo "upssim did not start" >&2; exit 1; }
    mkdir -p "$work/prog/Set"
    chmod 700 "$work/prog/Set"
    cp "$bin/upsagent" "$bin/mail" "$bin/sms" "$work/prog/"
    printf '%s\n' Local-Single RS232 "$device" "" 10 1 2 1 2400 >"$work/prog/Set/Setting.ang"
    (cd "$work/prog" && exec ./upsagent) >"$work/agent.out" 2>&1 &
    agent=$!
    pids+=($agent)
}
