"""The RFC 9271 protocol on 127.0.0.1 port 3493, read by Debian's `upsc`
(nut-client, used only as a client) and by hand."""
import socket
import subprocess

from conftest import ask_mgmt, connect, wait_for


def upsc(*args):
    done = subprocess.run(["upsc"] + list(args), capture_output=True, text=True, timeout=20)
    return done.returncode, done.stdout, done.stderr


def variables(target="ups1@127.0.0.1"):
    code, out, err = upsc(target)
    assert code == 0, err
    return dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)


def start(sim, agent):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    client = connect()
    wait_for(lambda: client.record(1)[46:47] == b"1", 20, what="the unit's status taken")
    client.close()


def test_upsc_lists_the_units_variables_before_and_after_a_mains_failure(sim, agent):
    start(sim, agent)
    wait_for(lambda: variables().get("device.model") == "SIM-1001", 20, what="the identity")
    v = variables()
    assert v["ups.status"] == "OL"
    assert v["input.voltage"] == "230.0"
    assert v["battery.voltage"] == "2.25"
    assert v["battery.charge"] == "100"
    assert v["device.mfr"] == "SIMULATED"
    assert v["device.type"] == "ups" and v["driver.name"] == "upsagent"
    assert v["input.voltage.nominal"] == "230.0" and v["ups.load"] == "25"
    code, out, _ = upsc("-l", "127.0.0.1")
    assert code == 0 and out.split() == ["ups1"]
    assert variables("ups@127.0.0.1")["ups.status"] == "OL", "unit 1 also answers as ups"

    sim.control("mains fail")
    wait_for(lambda: variables()["ups.status"] == "OB", 15, what="OB")
    # The failure is taken at the second reply carrying it, the readings at
    # the third steady one.
    wait_for(lambda: variables()["input.voltage"] == "0.0", 5, what="the input voltage")
    sim.control("battery low")
    # The low battery brings this host's shutdown a minute close: FSD too.
    wait_for(lambda: variables()["ups.status"] == "FSD OB LB", 15, what="FSD OB LB")
    code, _, err = upsc("ups2@127.0.0.1")
    assert code != 0 and "Unknown UPS" in err


def test_protocol_answers_malformed_long_and_unknown_lines(sim, agent):
    start(sim, agent)
    with socket.create_connection(("127.0.0.1", 3493), timeout=5) as s:
        def ask(data, lines=1):
            s.sendall(data)
            got = b""
            while got.count(b"\n") < lines:
                chunk = s.recv(4096)
                assert chunk, "closed"
                got += chunk
            return got
        assert ask(b"NETVER\n") == b"1.3\n"
        assert ask(b"FROB\n") == b"ERR UNKNOWN-COMMAND\n"
        assert ask(b'GET VAR "ups1 ups.status\n') == b"ERR INVALID-ARGUMENT\n"
        assert ask(b"GET VAR ups9 ups.status\n") == b"ERR UNKNOWN-UPS\n"
        assert ask(b"GET VAR ups1 no.such\n") == b"ERR VAR-NOT-SUPPORTED\n"
        assert ask(b"X" * 5000 + b"\n") == b"ERR TOO-LONG\n", "answered once, then skipped"
        # A request cut across reads is still one line; CR LF is taken too.
        s.sendall(b"GET VAR ups1 ")
        # Read on its own: the server takes a new connection's request in a
        # later turn of its loop.
        assert ask_mgmt("NETVER") == "1.3\n"
        assert ask(b"device.type\r\n") == b'VAR ups1 device.type "ups"\n'
        assert ask(b"INSTCMD ups1 test.battery.start.quick\n") == b"ERR ACCESS-DENIED\n"
        assert ask(b"LOGOUT\n") == b"OK Goodbye\n"
        assert s.recv(1) == b"", "closed after LOGOUT"
    assert agent.alive()


def metrics(agent):
    path = agent.dir / "DataBase" / "metrics.prom"
    samples = {}
    if path.exists():
        for line in path.read_text().splitlines():
            if line and not line.startswith("#"):
                name, value = line.rsplit(" ", 1)
                samples[name] = float(value)
    return samples


def test_metrics_file_is_valid_and_follows_the_unit(sim, agent, host_deadline):
    start(sim, agent)
    wait_for(lambda: metrics(agent).get('upsagent_rated_battery_volts{unit="1"}') == 48 and
             metrics(agent).get('upsagent_input_volts{unit="1"}') == 230, 20,
             what="the ratings and readings in the metrics")
    path = agent.dir / "DataBase" / "metrics.prom"
    check = subprocess.run(["promtool", "check", "metrics"], input=path.read_text(),
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    m = metrics(agent)
    assert m['upsagent_input_volts{unit="1"}'] == 230.0
    assert m['upsagent_load_ratio{unit="1"}'] == 0.25
    assert m['upsagent_connected{unit="1"}'] == 1
    assert m['upsagent_status{unit="1",bit="mains_failed"}'] == 0
    assert m["upsagent_host_shutdown_deadline_seconds"] == 0

    sim.control("mains fail")
    key = 'upsagent_events_total{unit="1",code="7",event="mains_failed"}'
    wait_for(lambda: metrics(agent).get(key) == 1, 20, what="the mains failure counted")
    wait_for(lambda: metrics(agent)["upsagent_host_shutdown_deadline_seconds"] > 0, 15,
             what="the deadline in the metrics")
    m = metrics(agent)
    assert m['upsagent_status{unit="1",bit="mains_failed"}'] == 1
    assert abs(m["upsagent_host_shutdown_deadline_seconds"] - host_deadline()) < 2
