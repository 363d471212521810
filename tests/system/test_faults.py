"""Faults around the daemon: a line that vanishes and returns, a line that
says nonsense, a kill at any moment, a full disk, a file-size limit, a
flood of garbage on port 2027 and a peer daemon that dies in an outage. The
daemon reports each fault once, goes on polling and protecting, and leaves
every file whole."""
import os
import random
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

from conftest import (HISTORY_LINE, PORT, STANDIN, Client, FakeUsb, connect, pending_deadline,
                      stays, wait_for)

EVENT_LINE = re.compile(r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d \d\d \d\d [01] [01]$")


def start(agent, device, **settings):
    agent.write_settings(link="RS232", device=device, **settings)
    return agent.start()


def event_codes(agent):
    return [line[20:] for line in agent.events()]


def cpu_seconds(pid):
    """User plus system CPU time of a process so far."""
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def whole_lines(path, pattern):
    """The lines of a file, after checking each is whole and of its form."""
    data = Path(path).read_bytes()
    assert data == b"" or data.endswith(b"\n"), "%s ends in a cut line" % path
    lines = data.decode().splitlines()
    bad = [l for l in lines if not pattern.match(l)]
    assert not bad, "%s: lines of the wrong form: %r" % (path, bad[:3])
    return lines


def test_line_that_vanishes_and_returns_under_the_same_path(make_sim, agent, tmp_path):
    link = tmp_path / "ttyUPS"
    first = make_sim()
    link.symlink_to(first.path)
    start(agent, str(link))
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 20, what="the Connect event")

    first.proc.kill()  # the pseudo-terminal goes with it
    link.unlink()
    wait_for(lambda: "01 08 0 0" in event_codes(agent), 20, what="the Disconnect event")
    # Reopen attempts against a missing path leave no trace to wait for: two
    # passes (each one an attempt) without the daemon ending.
    stays(agent.alive, "the daemon alive", seconds=1.0)

    second = make_sim()
    link.symlink_to(second.path)
    wait_for(lambda: event_codes(agent).count("01 08 1 0") == 2, 20,
             what="the Connect event of the returned line")
    t = time.time()
    wait_for(lambda: second.status_replies(t) >= 3, 10, what="polling of the new line")
    assert event_codes(agent) == ["01 08 1 0", "01 08 0 0", "01 08 1 0"]


def silence_lines(agent):
    return [l for l in agent.stdout().splitlines() if "has not answered since start" in l]


def test_a_unit_never_reached_is_said_at_once_and_given_up(make_sim, make_agent, tmp_path):
    """A wrong path, something that is no serial line, a host that cannot
    be reached, no matching USB device, and a line where nothing answers:
    one line at once naming the device and why, a Disconnect when the unit
    is given up, and one line when it answers at last."""
    (tmp_path / "a-directory").mkdir()
    silent = make_sim()
    silent.control("silent on")
    rows = [
        ("RS232", str(tmp_path / "ttyUPS-missing"), None, "no such device"),
        ("RS232", str(tmp_path / "a-directory"), None, "is a directory"),
        ("TCP/IP", "192.0.2.1", "192.0.2.1 port 2027", "network is unreachable"),
        ("USB", "", "USB ffff:0000", "no such device"),
        ("RS232", silent.path, None, "no reply"),
    ]
    agents = []
    for n, (link, device, name, _) in enumerate(rows):
        agent = make_agent("row%d" % n)
        if link == "USB":
            FakeUsb(tmp_path / "usb", devices="1234:0000:u").install(agent)
        agent.write_settings(mode="Local-Single" if link != "TCP/IP" else "Remote-Single",
                             link=link, device=device)
        agents.append(agent.start())
    for agent, (link, device, name, why) in zip(agents, rows):
        line = "upsagent: unit 1 on %s has not answered since start: %s" % (name or device, why)
        wait_for(lambda: line in agent.stdout(), 10, what="%r" % line)
        wait_for(lambda: "01 08 0 0" in event_codes(agent), 20,
                 what="the Disconnect of the unit on %s" % (name or device))
        assert event_codes(agent) == ["01 08 0 0"], "once"
        assert len(silence_lines(agent)) == 1, "one line a minute at most"

    answering = agents[-1]
    silent.control("silent off")
    wait_for(lambda: "upsagent: unit 1 on %s answers now" % silent.path in answering.stdout(), 20,
             what="the line of the unit answering at last")
    wait_for(lambda: event_codes(answering) == ["01 08 0 0", "01 08 1 0"], 10,
             what="the Connect event")


def test_settings_that_poll_nothing_say_so_at_start_and_at_each_reload(sim, agent, tmp_path):
    """No file (made empty), an empty one, one without a link kind or a
    device, with an unknown link kind or mode: one line at start and at each
    reload, saying no unit is polled and why; a reload to such a file while
    units are polled keeps the previous words, and says so."""
    missing = str(tmp_path / "ttyUPS-missing")
    rows = [
        (None, None, None, "no unit is polled: Set/Setting.ang is empty"),
        ("", "", "", "no unit is polled: Set/Setting.ang is empty"),
        ("Local-Single", "", "", "no unit is polled: Set/Setting.ang names no link kind (line 2)"),
        ("Local-Single", "RS-232", missing,
         'no unit is polled: unknown link kind "RS-232" on line 2 of Set/Setting.ang'),
        ("Local", "RS232", missing,
         'no unit is polled: unknown machine mode "Local" on line 1 of Set/Setting.ang'),
        ("Local-Single", "RS232", "",
         "no unit is polled: Set/Setting.ang names no device for RS232 (line 3)"),
    ]
    for mode, link, device, line in rows:
        if mode is None:
            shutil.rmtree(agent.dir / "Set", ignore_errors=True)
        else:
            agent.write_settings(mode=mode, link=link, device=device)
        if mode == "":
            (agent.dir / "Set" / "Setting.ang").write_text("")
        before = agent.stdout().count(line) if agent.stdout_path.exists() else 0
        agent.start()
        wait_for(lambda: agent.stdout().count(line) == before + 1, 10, what="at start: " + line)
        agent.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: agent.stdout().count(line) == before + 2, 10, what="at reload: " + line)
        agent.stop()
    assert agent.stdout().count("no unit is polled") == 2 * len(rows)
    assert not silence_lines(agent) and agent.events() == [], "nothing polled, nothing lost"

    agent.write_settings(device=sim.path)
    agent.start()
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 20, what="the unit polled")
    agent.write_settings(mode="Local", device=sim.path)
    agent.proc.send_signal(signal.SIGHUP)
    line = ('upsagent: unknown machine mode "Local" on line 1 of Set/Setting.ang; the previous '
            "setting is kept, units are polled on %s" % sim.path)
    wait_for(lambda: line in agent.stdout(), 10, what=line)
    sim.wait_requests(3)
    assert event_codes(agent) == ["01 08 1 0"]


@pytest.mark.slow(68)
def test_garbage_half_and_split_replies_cause_no_event_and_little_cpu(sim, agent):
    start(agent, sim.path)
    wait_for(lambda: "01 08 1 0" in event_codes(agent), 20, what="the Connect event")
    client = connect()

    def identified():
        record = client.record(1)
        return record[48:51] == b"SIM" and record[86:91] not in (b"", b"000.0")
    wait_for(identified, 20, what="identity and ratings taken")
    client.close()
    before = list(agent.events())
    cpu = cpu_seconds(agent.proc.pid)
    began = time.monotonic()
    # One bad reply at a time (two for the faults switched off again), good
    # ones between: never four failures in a row, never three bad replies
    # that agree. A request that follows another means its reply was taken
    # or missed.
    faults = [("garbage once", None), ("length 24 for 1", None), ("slow 600", "slow off"),
              ("delay 400", "delay off"), ("garbage bits", None), ("length 60 for 1", None),
              ("noise input_voltage 30", "noise off"), ("garbage once", None)]
    n = 0
    while time.monotonic() - began < 60:  # a minute of them, round after round
        on, off = faults[n % len(faults)]
        n += 1
        sim.control(on)
        sim.wait_requests(2, since=sim.control_time(on))
        if off:
            sim.control(off)
        sim.wait_requests(2)
    used = cpu_seconds(agent.proc.pid) - cpu
    elapsed = time.monotonic() - began
    assert agent.events() == before, "no stray event"
    # A sanitizer's own threads and checks cost more than the daemon does.
    sanitized = any(m in (agent.dir / "upsagent").read_bytes() for m in (b"__tsan_", b"__asan_"))
    assert used / elapsed < (0.05 if sanitized else 0.01), "%.3f s of CPU in %.0f s" % (
        used, elapsed)
    t = time.time()
    wait_for(lambda: sim.status_replies(t) >= 2, 10, what="polling after the faults")
    assert "wrong" not in agent.stdout()


def test_kill_at_any_moment_of_event_log_appends_and_trims(make_sim, agent):
    sim = make_sim(units=4)
    database = agent.dir / "DataBase"
    database.mkdir(mode=0o700, parents=True)
    log = database / "Event.ang"
    # More than the log keeps, so every append trims.
    log.write_text("".join("2026/12/01 00:%02d:%02d 01 00 1 0\n" % (i // 60 % 60, i % 60)
                           for i in range(3000)))
    agent.write_settings(mode="Local-Multiple", device=sim.path, number=4)
    rng = random.Random(7)
    for _ in range(6):
        agent.start()
        time.sleep(rng.uniform(0.5, 4.0))  # over the four units' Connect appends
        os.kill(agent.proc.pid, signal.SIGKILL)
        agent.proc.wait()
        lines = whole_lines(log, EVENT_LINE)
        assert len(lines) <= 3000 + 4
        for unit in range(1, 5):
            for path in database.glob("M%d????????.ang" % unit):
                whole_lines(path, HISTORY_LINE)
        if (database / "metrics.prom").exists():
            assert (database / "metrics.prom").read_text().endswith("\n")
    agent.start()
    wait_for(lambda: sum(l.endswith("08 1 0") for l in agent.events()[-4:]) == 4, 20,
             what="four Connect events")
    # An append trims the log right after it.
    wait_for(lambda: len(whole_lines(log, EVENT_LINE)) == 1000, 10,
             what="the log trimmed to 1000 lines")


def in_namespace_of(agent, path):
    """`path` as the agent's mount namespace shows it."""
    return Path("/proc/%d/root%s" % (agent.proc.pid, path))


def test_full_disk_and_long_settings_line(sim, agent, host_deadline):
    """DataBase/ is a 96 KiB tmpfs in a mount namespace of the agent's own
    (never the host's); a filler file fills it."""
    database = agent.dir / "DataBase"
    database.mkdir(mode=0o700)
    # The tmpfs takes whole pages: 135 lines and the Connect line fill the
    # log's first page but for 16 bytes, so AC Failed needs a page of its own.
    seed = agent.dir / "seed"
    seed.mkdir()
    (seed / "Event.ang").write_text("2026/12/01 00:00:00 01 00 1 0\n" * 135)
    # Line 4 (the community, which a serial link never uses) is longer than
    # any read of old: the delays after it still count.
    agent.write_settings(device=sim.path, community="c" * 1160, ac_fail=3)
    # Started here rather than by Agent.start, so its safety check is made here.
    found = shutil.which("shutdown", path=agent.env["PATH"])
    assert found and Path(found).resolve() == (STANDIN / "shutdown").resolve()
    agent.proc = agent.procs.start(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c",
         'mount -t tmpfs -o size=96k,mode=0700 tmpfs "$1" && cp "$3"/* "$1"/ && exec "$2"',
         "sh", str(database), str(agent.dir / "upsagent"), str(seed)],
        cwd=str(agent.dir), env=agent.env, stdout=open(agent.stdout_path, "a"),
        stderr=open(agent.stderr_path, "a"))
    wait_for(lambda: "line 4 is 1160 characters long" in agent.stdout(), 10,
             what="the long line reported")
    inner = lambda name: in_namespace_of(agent, str(database / name))
    wait_for(lambda: inner("Event.ang").exists() and "01 08 1 0" in inner("Event.ang").read_text(),
             20, what="the Connect event")
    assert not (database / "Event.ang").exists(), "the tmpfs is the agent's alone"

    filler = inner("filler")
    with open(filler, "wb") as f:
        try:
            f.write(b"\0" * 200 * 1024)
        except OSError:
            pass
    history = [p.name for p in in_namespace_of(agent, str(database)).glob("M1*.ang")][0]
    wait_for(lambda: "cannot write %s: No space left" % (database / history) in agent.stdout(),
             10, what="the full history file reported")
    sim.control("mains fail")
    wait_for(lambda: host_deadline(), 20, what="the host shutdown, disk full or not")
    assert abs(host_deadline() - time.time() - 180) < 15, "the delay of line 5"
    # Metrics (every 5 s) and the event log (AC Failed) meet the full disk
    # too, and so does the UPS's Shutdown Active after S12R0001: its status
    # check follows the reply that shows it within the pass.
    for name in ("Event.ang", "metrics.prom"):
        wait_for(lambda: "cannot write %s:" % (database / name) in agent.stdout(), 15,
                 what="the full %s reported" % name)
    client = connect()
    wait_for(lambda: client.record(1)[44:45] == b"1", 20, what="the UPS's shutdown active taken")
    client.close()
    sim.wait_requests(1)
    out = agent.stdout()
    for name in (history, "Event.ang", "metrics.prom"):
        assert out.count("cannot write %s:" % (database / name)) == 1, (name, out)
    # The state a restart needs is rewritten in its own block, full disk or not.
    assert "cannot write %s" % (database / "Shutdown.ang") not in out, out
    state = dict(l.split(" ", 1) for l in inner("Shutdown.ang").read_text().splitlines())
    assert abs(int(state["host"]) - host_deadline()) < 5, state

    length = len(inner(history).read_text())
    filler.unlink()
    wait_for(lambda: "%s is written again" % (database / history) in agent.stdout(), 10,
             what="the history file written again")
    wait_for(lambda: "metrics.prom is written again" in agent.stdout(), 10, what="metrics")
    assert len(inner(history).read_text()) > length
    whole_lines(inner(history), HISTORY_LINE)
    wait_for(lambda: "Event.ang is written again" in agent.stdout(), 10, what="the event log")
    events = whole_lines(inner("Event.ang"), EVENT_LINE)
    assert len(events) == 138, "no cut line"
    # AC Failed and the UPS's Shutdown Active, held back while the disk was full.
    assert [e[20:] for e in events[-2:]] == ["01 07 1 0", "01 01 1 0"], events[-3:]
    assert agent.alive()


def test_file_size_limit_is_a_reported_write_failure(sim, agent):
    # Today's history is the largest file of the process, so it meets the
    # limit first; the daemon's own output (a file here) stays below it.
    database = agent.dir / "DataBase"
    database.mkdir(mode=0o700)
    path = database / time.strftime("M1%Y%m%d.ang", time.gmtime())
    path.write_text("00:00:00 230.0 230.0 230.0 010 50.0 27.00 25.0\n" * 400)
    start(agent, sim.path)
    size = path.stat().st_size
    wait_for(lambda: path.stat().st_size > size, 20, what="history")
    size = path.stat().st_size
    subprocess.run(["prlimit", "--pid", str(agent.proc.pid), "--fsize=%d:unlimited" % (size + 100)],
                   check=True)
    wait_for(lambda: "cannot write %s: File too large" % path in agent.stdout(), 15,
             what="the file-size limit reported")
    # The history is written every second: three polls see it fail again.
    sim.wait_requests(3)
    assert agent.alive(), "no death by SIGXFSZ"
    assert agent.stdout().count("cannot write %s:" % path) == 1
    subprocess.run(["prlimit", "--pid", str(agent.proc.pid), "--fsize=unlimited:unlimited"], check=True)
    wait_for(lambda: "%s is written again" % path in agent.stdout(), 10, what="the recovery")
    whole_lines(path, HISTORY_LINE)


def test_a_mebibyte_of_garbage_is_one_line(sim, agent):
    start(agent, sim.path)
    client = connect()
    rng = random.Random(3)
    client.send(bytes(rng.choice(b"XYZxyz0123#!") for _ in range(1 << 20)))
    client.close()
    # The server closes its end once it has read all of it.
    wait_for(lambda: server_sockets() == [], 20, what="the server to read the garbage to its end")
    fresh = Client()
    assert len(fresh.record(1)) == 108, "the server still answers"
    fresh.close()
    lines = [l for l in agent.stdout().splitlines() if "unknown command" in l]
    assert len(lines) == 1, lines[:5]


def server_sockets():
    """The server's ends of port 2027's connections that it has not closed
    yet: established, or ended by the client but still to be read (earlier
    tests' connections in this namespace may linger in TIME_WAIT)."""
    states = []
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == PORT and fields[3] in ("01", "08"):
                states.append(fields[3])
    return states


@pytest.mark.slow(17)
def test_remote_peer_killed_and_restarted_in_an_outage(sim, make_agent, tmp_path):
    local = make_agent("local")
    start(local, sim.path)
    connect()
    remote = make_agent("remote")
    calls = tmp_path / "remote-shutdown.calls"
    remote.env = dict(remote.env, UPS_STANDIN_LOG=str(calls))
    # Port 2027 is the local daemon's here: the remote one polls without a
    # server of its own.
    remote.write_settings(mode="Remote-Single", link="TCP/IP", device="127.0.0.1", ac_fail=5)
    remote.start()
    wait_for(lambda: "01 08 1 0" in event_codes(remote), 20, what="the remote unit connected")

    sim.control("mains fail")
    deadline = wait_for(lambda: pending_deadline(calls), 20, what="the remote host's shutdown")
    os.kill(remote.proc.pid, signal.SIGKILL)
    remote.proc.wait()
    remote.start()
    wait_for(lambda: "shutdown in force from before the restart" in remote.stdout(), 15,
             what="the restarted daemon taking the shutdown in force")
    polled = len(remote.history(1))
    wait_for(lambda: len(remote.history(1)) > polled + 2, 15, what="the restarted daemon polling")
    # A cancel would follow a status the restarted daemon took: three more
    # of them, and none came.
    polled = len(remote.history(1))
    wait_for(lambda: len(remote.history(1)) >= polled + 3, 15, what="the restarted daemon polling on")
    assert '"-c"' not in calls.read_text(), "nothing cancelled"
    assert pending_deadline(calls) is not None
    assert abs(pending_deadline(calls) - deadline) < 10, "the deadline stays"
    assert remote.alive()
