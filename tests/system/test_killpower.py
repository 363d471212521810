"""The final power-off: `upsagent --killpower STAGE`, as the last shutdown
stage's hook runs it, against upssim on a pseudo-terminal and the stand-in
libusb. The daemon is never started: the state file a host shutdown leaves
is written here."""
import os
import subprocess
import time
import tty
from pathlib import Path

import pytest

from conftest import FakeUsb, wait_for

TURN_OFF = b"S01R0001\r"
OTHER_BOOT = "00000000-0000-4000-8000-000000000000"


def this_boot():
    return Path("/proc/sys/kernel/random/boot_id").read_text().strip()


def state(boot=None, host=None):
    """Shutdown.ang as the daemon writes it: this boot's by default, with a
    host deadline five minutes ahead."""
    host = int(time.time()) + 300 if host is None else host
    return "boot %s\nhost %d\nups %d\nheld 10000000\nunit1 100000001\n" % (
        boot or this_boot(), host, host + 120 if host else 0)


def snapshot(directory):
    """Every path below `directory` with its size and modification time."""
    return {str(p.relative_to(directory)): (p.stat().st_size, p.stat().st_mtime_ns)
            for p in Path(directory).rglob("*")}


def killpower(agent, stage, env, cwd):
    argv = [str(agent.dir / "upsagent"), "--killpower"] + ([stage] if stage else [])
    return subprocess.run(argv, env=env, cwd=str(cwd), capture_output=True, text=True, timeout=30)


def line_caught_up(sim):
    """Sends a status query on the line and waits until the simulator logged
    it: whatever came on the line before it is in the log by then."""
    fd = os.open(sim.path, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        os.write(fd, b"Q1\r")
        wait_for(lambda: b"Q1\r" in sim.requests(), 10, what="the query on the line")
    finally:
        os.close(fd)


# what, machine mode, link kind, units on the line, Shutdown.ang (None:
# none), stage (None: none given), outcome ("sent": exit status 0 and the
# turn-off on the line; "nothing": 0 and nothing on the line; "failed": 1
# and nothing), the line's words
ROWS = [
    ("this boot, host deadline, poweroff", "Local-Single", "RS232", 1, state(), "poweroff",
     "sent", "told the UPS"),
    ("halt", "Local-Single", "RS232", 1, state(), "halt", "sent", "told the UPS"),
    ("no stage given", "Local-Single", "RS232", 1, state(), None, "sent", "told the UPS"),
    ("unit 1 of several", "Local-Multiple", "RS232", 2, state(), "poweroff", "sent",
     "told the UPS"),
    ("no state file", "Local-Single", "RS232", 1, None, "poweroff", "nothing",
     "no host shutdown of this daemon is under way"),
    ("host 0", "Local-Single", "RS232", 1, state(host=0), "poweroff", "nothing",
     "no host shutdown of this daemon is under way"),
    ("another boot's file", "Local-Single", "RS232", 1, state(boot=OTHER_BOOT), "poweroff",
     "nothing", "of another boot"),
    ("damaged file", "Local-Single", "RS232", 1, state().replace("host ", "host x"), "poweroff",
     "nothing", "is damaged"),
    ("file cut short", "Local-Single", "RS232", 1, "boot %s\nho" % this_boot(), "poweroff",
     "nothing", "is damaged"),
    ("reboot", "Local-Single", "RS232", 1, state(), "reboot", "nothing",
     'nothing to do at "reboot"'),
    ("kexec", "Local-Single", "RS232", 1, state(), "kexec", "nothing",
     'nothing to do at "kexec"'),
    ("SNMP card", "Local-Single", "SNMP", 1, state(), "poweroff", "nothing",
     "keeps the timed turn-off"),
    ("a daemon polling another daemon", "Remote-Single", "TCP/IP", 1, state(), "poweroff",
     "nothing", "keeps the timed turn-off"),
    ("serial device missing", "Local-Single", "RS232", 1, state(), "poweroff", "failed",
     "cannot open the link"),
]


@pytest.mark.parametrize("what,mode,link,units,shutdown_state,stage,outcome,words", ROWS,
                         ids=[r[0] for r in ROWS])
def test_final_power_off(make_sim, agent, standin_env, tmp_path, what, mode, link, units,
                         shutdown_state, stage, outcome, words):
    sim = make_sim(units=units)
    device = {"RS232": sim.path, "SNMP": "127.0.0.1", "TCP/IP": "127.0.0.1"}[link]
    if outcome == "failed":
        device = str(tmp_path / "no-such-tty")
    agent.write_settings(mode=mode, link=link, device=device, number=units)
    if shutdown_state is not None:
        (agent.dir / "DataBase").mkdir(mode=0o700)
        (agent.dir / "DataBase" / "Shutdown.ang").write_text(shutdown_state)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    before = snapshot(agent.dir)

    done = killpower(agent, stage, standin_env, elsewhere)

    assert done.returncode == (1 if outcome == "failed" else 0), done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 1 and words in lines[0], done.stdout
    line_caught_up(sim)
    assert sim.requests() == ([TURN_OFF] if outcome == "sent" else []) + [b"Q1\r"]
    assert snapshot(agent.dir) == before, "nothing written"
    assert list(elsewhere.iterdir()) == []


def test_final_power_off_over_usb(agent, tmp_path):
    usb = FakeUsb(tmp_path / "usb", devices="1234:0000:u,0001:0000:u")
    usb.install(agent)
    agent.write_settings(mode="Local-Single", link="USB")
    (agent.dir / "DataBase").mkdir(mode=0o700)
    (agent.dir / "DataBase" / "Shutdown.ang").write_text(state())
    before = snapshot(agent.dir)

    done = killpower(agent, "poweroff", agent.env, tmp_path)

    assert done.returncode == 0, done.stdout + done.stderr
    assert len(done.stdout.splitlines()) == 1 and "told the UPS (USB)" in done.stdout
    # The stand-in's log is written within each call, so it is whole now.
    assert usb.requests() == [TURN_OFF]
    assert usb.reports() == [bytes([5, 2, len(TURN_OFF)]) + TURN_OFF + bytes(44 - len(TURN_OFF))]
    events = usb.usb_events()
    assert [e.split()[1] for e in events if e.startswith("open")] == ["0001:0000"], events
    assert snapshot(agent.dir) == before, "nothing written"


def test_final_power_off_over_hid(agent, tmp_path):
    hid = Path(__file__).resolve().parent.parent / "hid"
    usb = FakeUsb(tmp_path / "usb", devices="0001:0000:u,051d:0002:h:AB1234",
                  hid_descriptor=hid / "flags-1bit.desc", hid_reports=hid / "flags-1bit.reports")
    usb.install(agent)
    agent.write_settings(mode="Local-Single", link="HID")
    (agent.dir / "DataBase").mkdir(mode=0o700)
    (agent.dir / "DataBase" / "Shutdown.ang").write_text(state())
    before = snapshot(agent.dir)

    done = killpower(agent, "poweroff", agent.env, tmp_path)

    assert done.returncode == 0, done.stdout + done.stderr
    assert len(done.stdout.splitlines()) == 1 and "told the UPS (USB HID)" in done.stdout
    # Off after 60 s, on again 120 s from now: the delays in their reports.
    assert usb.hid_sets() == ["0f Feature 0f3c00", "10 Feature 107800"]
    assert usb.reports() == [], "nothing to the unit that tunnels the serial protocol"
    assert snapshot(agent.dir) == before, "nothing written"
