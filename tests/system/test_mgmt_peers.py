"""Debian's `upsmon` and `upscmd` (nut-client, used only as clients, each
with a scratch configuration and state directory) against port 3493."""
import os
import subprocess
import time

from conftest import ask_mgmt as ask, connect, wait_for

# Made with "openssl passwd -6 -salt ...": watch/watch2 may monitor as a
# secondary, admin/secret1 may send instant commands, viewer/view3 neither.
USERS = (
    "watch $5$pepper$dIK6Qu/CFCKUyCqLTTGJMzc1rZcHXCZbZiwqySs4i73 monitor-secondary\n"
    "admin $6$saltsalt$jCP90RmSIIja2o9FRs25ASQaR1lMN6uKHmNcHaoNCpAXgV3n5NfAlQdZQcvMVQO1BTCOF"
    "F0LzoHFZBt9E45NW0 instcmd\n"
)


def start(sim, agent, **delays):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path, **delays)
    (agent.dir / "Set" / "Users.ang").write_text(USERS)
    os.chmod(agent.dir / "Set" / "Users.ang", 0o600)
    agent.start()
    client = connect()
    wait_for(lambda: client.record(1)[46:47] == b"1", 20, what="the unit's status taken")
    client.close()


class Upsmon:
    """upsmon as a secondary of ups1, with stand-ins for its shutdown and
    notify commands that only write a line each."""

    def __init__(self, procs, workdir):
        self.dir = workdir / "upsmon"
        self.dir.mkdir()
        self.shutdowns = self.dir / "shutdown.log"
        self.notices = self.dir / "notify.log"
        for name, log, text in (("shutdowncmd", self.shutdowns, "shutdown"),
                                ("notifycmd", self.notices, '$NOTIFYTYPE $UPSNAME')):
            path = self.dir / name
            path.write_text('#!/bin/sh\necho "%s" >> %s\n' % (text, log))
            path.chmod(0o755)
        conf = self.dir / "upsmon.conf"
        conf.write_text(
            "MONITOR ups1@127.0.0.1 1 watch watch2 secondary\n"
            "MINSUPPLIES 1\n"
            "SHUTDOWNCMD \"%s\"\n"
            "NOTIFYCMD \"%s\"\n"
            "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 15\nFINALDELAY 0\nHOSTSYNC 5\n"
            "POWERDOWNFLAG %s\n"
            "RUN_AS_USER root\n" % (self.dir / "shutdowncmd", self.dir / "notifycmd",
                                     self.dir / "killpower")
            + "".join("NOTIFYFLAG %s SYSLOG+EXEC\n" % n
                      for n in ("ONLINE", "ONBATT", "LOWBATT", "FSD", "COMMOK", "COMMBAD",
                                "SHUTDOWN")))
        conf.chmod(0o640)
        env = dict(os.environ, NUT_CONFPATH=str(self.dir), NUT_STATEPATH=str(self.dir))
        self.out = open(self.dir / "upsmon.out", "w")
        # upsmon keeps its PID file in /run/nut whatever its environment says:
        # a /run of its own (a tmpfs in a mount namespace of its own) keeps it
        # off the host's and away from an upsmon of a test running beside.
        self.proc = procs.start(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             "mount -t tmpfs -o mode=0755 tmpfs /run && mkdir /run/nut && "
             "exec /lib/nut/upsmon -F -p"],
            env=env, stdout=self.out, stderr=subprocess.STDOUT)

    def read(self, path):
        return path.read_text().splitlines() if path.exists() else []

    def output(self):
        return (self.dir / "upsmon.out").read_text(errors="replace")


def logged_in():
    return ask("GET NUMLOGINS ups1") == "NUMLOGINS ups1 1\n"


def wait_logged_in(mon, agent):
    """Waits for upsmon's login; on a time-out, with what upsmon and the
    daemon printed."""
    try:
        wait_for(logged_in, 20, what="upsmon logged in")
    except BaseException:
        print("upsmon:\n" + mon.output() + "\nupsagent:\n" + agent.stdout())
        raise


def test_upsmon_secondary_is_told_of_the_mains_failure_and_goes_down_on_low_battery(
        sim, agent, procs, tmp_path, make_wire):
    start(sim, agent)
    wire = make_wire(3493)
    mon = Upsmon(procs, tmp_path)
    wait_logged_in(mon, agent)
    assert ask("LIST CLIENT ups1").splitlines()[1] == "CLIENT ups1 127.0.0.1"
    sim.control("mains fail")
    wait_for(lambda: "ONBATT ups1@127.0.0.1" in mon.read(mon.notices), 20,
             what="upsmon's ONBATT notice")
    # Ten minutes before this host goes down: the secondary stays up over
    # three more of its polls.
    polls = lambda: sum(1 for p in wire.sent() if p.startswith(b"GET VAR ups1 ups.status"))
    polled = polls()
    wait_for(lambda: polls() >= polled + 3, 15, what="three more polls of upsmon")
    assert mon.read(mon.shutdowns) == [], mon.output()
    assert "FSD" not in ask("GET VAR ups1 ups.status")
    sim.control("battery low")
    wait_for(lambda: mon.read(mon.shutdowns) == ["shutdown"], 20,
             what="upsmon's shutdown command on OB LB")


def test_upsmon_secondary_goes_down_on_fsd_before_this_host(
        sim, agent, procs, tmp_path, host_deadline):
    start(sim, agent, ac_fail=1)
    mon = Upsmon(procs, tmp_path)
    wait_logged_in(mon, agent)
    sim.control("mains fail")
    wait_for(lambda: mon.read(mon.shutdowns) == ["shutdown"], 20,
             what="upsmon's shutdown command on FSD")
    status = ask("GET VAR ups1 ups.status")
    assert status == 'VAR ups1 ups.status "FSD OB"\n', "FSD, not a low battery, sent it down"
    assert host_deadline() is not None and host_deadline() - time.time() > 30, \
        "this host goes down after the secondary"
    sim.control("mains restore")
    wait_for(lambda: ask("GET VAR ups1 ups.status") == 'VAR ups1 ups.status "OL"\n', 20,
             what="FSD cleared with the cancelled shutdown")


def upscmd(*args):
    done = subprocess.run(["upscmd"] + list(args), capture_output=True, text=True, timeout=20,
                          stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout + done.stderr


def test_upscmd_with_an_instcmd_user_starts_the_test_at_the_ups(sim, agent):
    start(sim, agent)
    code, out = upscmd("-l", "ups1@127.0.0.1")
    assert code == 0 and "test.battery.start.quick" in out, out
    t = time.time()
    code, out = upscmd("-u", "watch", "-p", "watch2", "ups1@127.0.0.1",
                       "test.battery.start.quick")
    assert code != 0 and "ACCESS-DENIED" in out, out
    code, out = upscmd("-u", "admin", "-p", "wrong", "ups1@127.0.0.1",
                       "test.battery.start.quick")
    assert code != 0 and "ACCESS-DENIED" in out, out
    # Answered, so taken: queued, it would go out at the unit's next send.
    sim.wait_requests(2)
    assert b"T\r" not in sim.requests(t), "a refused command reached the UPS"
    code, out = upscmd("-u", "admin", "-p", "secret1", "ups1@127.0.0.1",
                       "test.battery.start.quick")
    assert code == 0 and "OK" in out, out
    wait_for(lambda: b"T\r" in sim.requests(t), 10, what='"T\\r" at the UPS')
    code, out = upscmd("-u", "admin", "-p", "secret1", "ups1@127.0.0.1", "no.such.command")
    assert code != 0, out
