"""The daemon's client server on port 2027, remote units and the schedule
runner, against the real daemon and the simulator. Each test process has a
network namespace of its own (conftest), so port 2027 is the test's."""
import os
import signal
import socket
import struct
import threading
import time

import pytest

from conftest import (Client, ask_mgmt, connect, established_on_2027, pending_deadline,
                      server_caught_up, wait_for)

Q = b"Q1\r"


def start(sim, agent, **settings):
    settings.setdefault("mode", "Local-Single")
    agent.write_settings(link="RS232", device=sim.path, **settings)
    agent.start()
    return connect()


def readings_taken(agent, unit=1, value="230.0"):
    wait_for(lambda: any(l.split()[1] == value for l in agent.history(unit)), 20,
             what="unit %d history showing %s" % (unit, value))


def record_when(client, unit, accept, what, timeout=20):
    """Asks for the unit's record until `accept` takes it; returns it."""
    def attempt():
        record = client.record(unit)
        return record if accept(record) else None
    return wait_for(attempt, timeout, what=what)


def rss_kib(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def threads_and_fds(pid):
    return (len(os.listdir("/proc/%d/task" % pid)), len(os.listdir("/proc/%d/fd" % pid)))


def test_all_request_gets_the_units_status_record(make_sim, agent):
    sim = make_sim(units=2)
    client = start(sim, agent, mode="Local-Multiple", number=2)
    sim.control("unit 2 set input_voltage 231.5")
    sim.control("unit 2 bypass on")
    record = record_when(
        client, 2, lambda r: r[:5] == b"231.5" and r[48:51] == b"SIM" and r[86:91] != b"000.0",
        "unit 2's readings, identity and ratings in its record")
    assert len(record) == 108 and record[107] == 0
    text = record[:107].decode()
    assert text[38:46] == "00100000" and text[46] == "1"
    assert text[48:63] == "SIMULATED      "  # the unit's 15 characters as it sent them
    assert text[64:74] == "SIM-1002  "
    assert text[86:91] == "230.0" and text[92:95] == "004" and text[96:102] == "048.00"

    client.send(b"ALL2")
    server_caught_up()  # read and answered, if it were answered, before that
    assert client.pending() == b"", "a digit is not a unit byte"
    far = client.record(4)
    assert len(far) == 108 and far[46:47] == b"0", "a unit above the count is answered"
    client.close()


def test_pass_through_commands_reach_unit_one_unchanged(sim, agent):
    client = start(sim, agent)
    readings_taken(agent)
    for command in (b"T\r", b"TL\r", b"CT\r", b"C\r", b"S02R0480\r"):
        t = time.time()
        client.send(command)
        wait_for(lambda: command in sim.requests(t), 10, what="%r at the UPS" % command)
        sim.wait_requests(1)  # the request after it
        requests = sim.requests()
        i = len(requests) - 1 - requests[::-1].index(command)
        assert requests[i - 1] == Q and requests[i + 1:i + 2] == [Q], requests[i - 3:]
    # An "S" the UPS does not take is an unknown command: never queued, never cut.
    t = time.time()
    client.send(b"S" + b"9" * 70 + b"\r")
    wait_for(lambda: "unknown command \"S999" in agent.stdout(), 5,
             what="the refusal of a 72-byte command")
    client.send(b"T\r")  # queued behind it, had it been queued
    wait_for(lambda: b"T\r" in sim.requests(t), 10, what="the T after it at the UPS")
    assert not any(r.startswith(b"S9") for r in sim.requests(t)), "never sent"
    client.close()


QUERIES = (Q, b"I\r", b"F\r")


def test_a_command_flood_never_keeps_the_status_from_being_read(sim, agent, shutdown_calls):
    """A local client sends CT every 0.3 s, each on a fresh connection (a
    shell loop of printf into /dev/tcp), and the mains fails meanwhile: the
    failure is taken and the host shutdown started within seconds, and the
    UPS is asked for its status in every cycle, never two commands in a row."""
    client = start(sim, agent)
    readings_taken(agent)
    client.close()
    stop = threading.Event()
    sent = [0]

    def flood():
        while not stop.is_set():
            try:
                c = Client()
                c.send(b"CT\r")
                c.close()
                sent[0] += 1
            except OSError:
                pass
            stop.wait(0.3)
    thread = threading.Thread(target=flood, daemon=True)
    t_flood = time.time()
    thread.start()
    try:
        wait_for(lambda: sim.requests(t_flood).count(b"CT\r") >= 2, 10,
                 what="the flood's commands at the UPS")
        sim.control("mains fail")
        t_fail = sim.control_time("mains fail")
        wait_for(lambda: "01 07 1 0" in [l[20:] for l in agent.events()], 15,
                 what="the AC Failed event during the flood")
        wait_for(lambda: any("-h" in call for call in shutdown_calls()), 15,
                 what="the host shutdown during the flood")
        sim.wait_requests(4)
    finally:
        stop.set()
        thread.join(5)
    assert sent[0] >= 10, "the flood went on throughout"
    requests = sim.requests(t_flood)
    commands = [r for r in requests if r not in QUERIES]
    assert commands.count(b"CT\r") >= 3
    pairs = list(zip(requests, requests[1:]))
    assert not [p for p in pairs if p[0] not in QUERIES and p[1] not in QUERIES], requests
    assert sim.status_replies(t_fail) <= 12, "taken within a few cycles of the failure"
    refused = [l for l in agent.stdout().splitlines() if "one UPS command a second" in l]
    assert len(refused) == 1 and "from 127.0.0.1" in refused[0], refused


def test_refresh_set_switches_the_link_and_only_exact_commands_count(sim, agent, make_wire):
    client = start(sim, agent)
    readings_taken(agent)
    agent.write_settings(mode="Remote-Single", link="TCP/IP", device="127.0.0.1")
    client.send(b"RefreshSet!")
    wait_for(lambda: "unknown command \"RefreshSet!\"" in agent.stdout(), 5, what="a wrong command")
    # A reload would close the serial line at the next pass: polling goes on.
    t = time.time()
    wait_for(lambda: sim.status_replies(t) >= 2, 10,
             what="RefreshSet plus one byte to reload nothing: the line still polled")

    wire = make_wire()
    client.send(b"RefreshSet")
    # Now a remote unit: the daemon polls its own server with "ALL". Its own
    # record says the unit is not connected, so that record is no status:
    # the unit stays not connected and nothing is reported.
    wait_for(lambda: established_on_2027() >= 3, 10, what="the daemon's own TCP link")
    t_quiet = time.time()
    polled = wire.count(b"ALL\x01\x00")
    wait_for(lambda: wire.count(b"ALL\x01\x00") >= polled + 4, 15,
             what="four polls of the daemon's own record")
    assert sim.requests(t_quiet) == [], "the serial line is closed"
    record = client.record(1)
    assert record[46:47] == b"0"
    assert "01 07" not in (agent.dir / "DataBase" / "Event.ang").read_text()
    client.close()


def test_refresh_mail_with_trailing_bytes_reloads(sim, agent, tmp_path):
    log = tmp_path / "mail.calls"
    (agent.dir / "mail").write_text("#!/usr/bin/python3\nimport sys\n"
                                    "open(%r, 'a').write(' '.join(sys.argv[1:]) + '\\n')\n" % str(log))
    (agent.dir / "mail").chmod(0o755)
    client = start(sim, agent)
    readings_taken(agent)
    (agent.dir / "Set" / "Mail.ang").write_text("mx\nups@x\na@x\n000000001\n")
    client.send(b"RefreshMail and more")
    server_caught_up()  # the mail settings reread
    sim.control("silent on")
    wait_for(lambda: log.exists() and "Machine1 Disconnect" in log.read_text(), 20,
             what="the Disconnect mail after the reload")
    assert "unknown command" not in agent.stdout()


@pytest.mark.slow(24)
def test_each_port_is_served_while_another_process_holds_the_other(sim, make_agent):
    """Another process holds port 2027, then 3493: the daemon says so once,
    serves the other port meanwhile, and takes the held one within its
    retry once it is free."""
    def records():
        try:
            client = Client()
        except OSError:
            return False
        answered = len(client.record(1)) == 108
        client.close()
        return answered

    def mgmt():
        try:
            return ask_mgmt("NETVER") == "1.3\n"
        except OSError:
            return False
    rows = [("0.0.0.0", 2027, mgmt, records), ("127.0.0.1", 3493, records, mgmt)]
    for n, (address, port, other_served, held_served) in enumerate(rows):
        holder = socket.socket()
        # An earlier test's connections may linger in TIME_WAIT on the port.
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind((address, port))
        holder.listen()
        agent = make_agent("row%d" % n)
        agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
        agent.start()
        line = "server: cannot listen on %s port %d" % (address, port)
        wait_for(lambda: line in agent.stdout(), 10, what=line)
        wait_for(other_served, 10, what="the other port served")
        holder.close()
        wait_for(lambda: "server: listening on %s port %d" % (address, port) in agent.stdout(), 15,
                 what="port %d taken once free" % port)
        assert held_served()
        assert agent.stdout().count(line) == 1, "said once"
        agent.stop()


def test_vanishing_clients_leave_no_threads_or_descriptors(sim, agent):
    client = start(sim, agent)
    readings_taken(agent)
    pid = agent.proc.pid
    # A file the loop writes is open for a moment: a baseline is two
    # samples alike.
    samples = [threads_and_fds(pid)]

    def steady():
        samples.append(threads_and_fds(pid))
        return samples[-1] == samples[-2]
    wait_for(steady, 10, interval=0.05, what="the daemon's threads and descriptors steady")
    before, rss_before = samples[-1], rss_kib(pid)
    for i in range(1000):
        c = Client()
        if i % 3 == 1:
            c.send(b"ALL\x01\x00" * 20)  # and go away without reading
        elif i % 3 == 2:
            assert len(c.record(1)) == 108
        if i % 2:
            # RST instead of FIN: the daemon's writes then fail at once
            c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        c.close(wait=False)
    wait_for(lambda: threads_and_fds(pid) == before, 10,
             what="threads and descriptors back to %r" % (before,))
    assert before[0] <= 4, "no thread per client"
    assert rss_kib(pid) < rss_before + 2048, "memory back near the baseline"
    assert agent.alive()
    assert len(client.record(1)) == 108
    client.close()


def test_sessions_are_capped(sim, agent):
    first = start(sim, agent)
    clients = [first] + [Client() for _ in range(255)]
    for c in clients[::32]:
        assert len(c.record(1)) == 108
    extra = Client()
    assert extra.closed_by_server(3.0), "the 257th connection is closed at once"
    wait_for(lambda: "every session is taken" in agent.stdout(), 5, what="the cap line")
    for c in clients:
        c.close()
    extra.close()

    # Slots come back when clients leave: once the daemon has seen them go
    # (a loaded machine may take a moment), a new client is served.
    def served():
        later = connect()
        try:
            return len(later.record(1)) == 108
        except OSError:
            return False
        finally:
            later.close()
    wait_for(served, 15, what="a session once the clients left")


def test_client_hammering_reloads_while_units_are_polled(make_sim, agent):
    sim = make_sim(units=2)
    client = start(sim, agent, mode="Local-Multiple", number=2)
    readings_taken(agent)
    end = time.time() + 6
    while time.time() < end:
        for command in (b"RefreshSet", b"RefreshMail", b"RefreshSMS", b"RefreshPlan"):
            client.send(command)
            time.sleep(0.02)
        assert len(client.record(2)) == 108
    lines = len(agent.history(1))
    readings_taken(agent, unit=2)
    wait_for(lambda: len(agent.history(1)) > lines + 2, 15, what="polling to go on")
    assert agent.alive()
    client.close()


@pytest.mark.slow(24)
def test_two_daemons_remote_unit_and_two_host_shutdown(sim, make_agent, tmp_path):
    a = make_agent("daemon-a")
    b = make_agent("daemon-b")
    b.env = dict(b.env, UPS_STANDIN_LOG=str(tmp_path / "b-shutdown.calls"))
    a.env = dict(a.env, UPS_STANDIN_LOG=str(tmp_path / "a-shutdown.calls"))
    start(sim, a).close()
    b.write_settings(mode="Remote-Single", link="TCP/IP", device="127.0.0.1", ac_fail=3)
    b.start()
    wait_for(lambda: "server: cannot listen on 0.0.0.0 port 2027" in b.stdout(), 5, what="B's failed bind")
    sim.control("set input_voltage 228.5")
    readings_taken(b, value="228.5")
    assert b.alive()

    t_fail = time.time()
    sim.control("mains fail")
    calls = lambda name: (tmp_path / name).read_text() if (tmp_path / name).exists() else ""
    wait_for(lambda: "+10" in calls("a-shutdown.calls"), 20, what="A's own host shutdown")
    wait_for(lambda: "+3" in calls("b-shutdown.calls"), 20, what="B's own host shutdown")
    wait_for(lambda: any(line.endswith("01 07 1 0") for line in b.events()), 10,
             what="B's AC Failed")
    # The UPS belongs to A: it turns off after A's host, and B sends nothing.
    wait_for(lambda: b"S12R0001\r" in sim.requests(t_fail), 10, what="A's S12R0001 at the UPS")
    # A command of B's would reach the UPS through A within B's next poll of
    # A and A's next send: three polls of the UPS are past both.
    sim.wait_requests(3)
    assert [r for r in sim.requests(t_fail) if r != Q] == [b"S12R0001\r"]
    a_deadline = pending_deadline(tmp_path / "a-shutdown.calls")
    b_deadline = pending_deadline(tmp_path / "b-shutdown.calls")
    assert abs(a_deadline - (t_fail + 600)) < 10 and abs(b_deadline - (t_fail + 180)) < 10

    # A restarts; until it has taken its unit's status again its record says
    # "not connected", which B must not take as the mains' return.
    a.procs.stop(a.proc, signal.SIGKILL)
    a.start()
    client = connect()
    assert client.record(1)[46:47] == b"0", "A has not taken its unit's status yet"
    record_when(client, 1, lambda r: r[46:47] == b"1", "A's unit connected again")
    client.close()
    # B takes A's records once a second; two more lines of B's history are
    # two of them after A's unit was connected again.
    lines = len(b.history(1))
    wait_for(lambda: len(b.history(1)) >= lines + 2, 15, what="B polling A after its restart")
    assert not any(line.endswith("01 07 0 0") for line in b.events())
    assert "-c" not in calls("b-shutdown.calls") and "-c" not in calls("a-shutdown.calls")
    assert b"C\r" not in sim.requests(t_fail)
    assert a_deadline - 11 <= pending_deadline(tmp_path / "a-shutdown.calls") <= a_deadline
    assert pending_deadline(tmp_path / "b-shutdown.calls") == b_deadline

    sim.control("mains restore")
    wait_for(lambda: "-c" in calls("a-shutdown.calls") and "-c" in calls("b-shutdown.calls"),
             20, what="both cancels")
    wait_for(lambda: b"C\r" in sim.requests(t_fail), 10, what="A's C at the UPS")
    assert pending_deadline(tmp_path / "a-shutdown.calls") is None
    assert pending_deadline(tmp_path / "b-shutdown.calls") is None


@pytest.mark.slow(60)
def test_runner_sends_a_scheduled_self_test_at_its_minute(sim, agent):
    client = start(sim, agent)
    readings_taken(agent)
    now = time.time()
    due = now + 60 if now % 60 < 50 else now + 120  # leave time to write the file
    t = time.gmtime(due)  # the daemon runs with TZ=UTC
    weekday = (t.tm_wday + 2) % 7  # 0 Saturday .. 6 Friday
    line = "0001 %d %04d/%02d/%02d %02d:%02d T     O %25s\n" % (
        weekday, t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, "")
    assert len(line) == 58
    (agent.dir / "DataBase" / "Schedule.ang").write_text(line)
    client.send(b"RefreshPlan")
    start_of_minute = due - due % 60
    wait_for(lambda: b"T\r" in sim.requests(), 150, interval=0.5, what="the scheduled T")
    sent = [ts for ts, _, data in sim.entries("rx") if data == b"T\r"]
    assert len(sent) == 1
    assert start_of_minute <= sent[0] < start_of_minute + 60
    client.close()
