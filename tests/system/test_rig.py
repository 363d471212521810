"""The test rig itself: upsagent only ever runs with the recording stand-in
shutdown first on PATH, and the stand-in keeps the pending shutdown as the
platform (systemd) does, fails and is slow on demand, inside a /run of the
daemon's own that outlives a daemon restart."""
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

from conftest import STANDIN, wait_for

HOST_SCHEDULED = Path("/run/systemd/shutdown/scheduled")


@pytest.mark.parametrize("private_run", [False, True])
def test_agent_is_refused_without_the_standin_shutdown_first_on_path(agent, private_run):
    agent.env["PATH"] = "/usr/sbin:/usr/bin:/sbin:/bin"
    with pytest.raises(RuntimeError, match="refusing to start upsagent"):
        agent.start(private_run=private_run)
    assert agent.proc is None
    assert agent.run_holder is None


def standin(agent, *args, inside=True):
    """Runs the stand-in as the daemon would: in its mount namespace
    (`inside`) or in the test's."""
    prefix = ["nsenter", "-t", str(agent.private_run().pid), "-m", "--"] if inside else []
    return subprocess.run(prefix + [str(STANDIN / "shutdown")] + list(args), env=agent.env,
                          capture_output=True, text=True)


def scheduled(agent):
    """systemd's record of the pending shutdown in the daemon's /run, as a dict."""
    path = agent.run_path("/run/systemd/shutdown/scheduled")
    if not path.exists():
        return None
    return dict(line.split("=", 1) for line in path.read_text().splitlines())


# (arguments, seconds from now to the deadline or None for none pending, mode)
SCHEDULES = [
    (["-h", "+10", "System will shut down after 10 mins."], 600, "poweroff"),
    (["-h", "+1", "System will shut down after 1 mins."], 60, "poweroff"),
    (["-r", "+3"], 180, "reboot"),
    (["-h", "now"], 0, "poweroff"),
    (["-c", "Cancel shut down command"], None, None),
    (["-c"], None, None),
    (["-h", "+0"], 0, "poweroff"),
]


def test_standin_keeps_the_pending_shutdown_as_systemd_does(agent, shutdown_calls, host_deadline):
    host_had = HOST_SCHEDULED.exists()
    for args, seconds, mode in SCHEDULES:
        before = time.time()
        done = standin(agent, *args)
        after = time.time()
        assert done.returncode == 0, done.stderr
        assert shutdown_calls()[-1] == args
        record = scheduled(agent)
        if seconds is None:
            assert record is None and agent.platform_pending() is None, args
            assert host_deadline() is None, args
            continue
        assert set(record) == {"USEC", "WARN_WALL", "MODE"}, record
        assert (record["WARN_WALL"], record["MODE"]) == ("1", mode), args
        assert before + seconds <= int(record["USEC"]) / 1e6 <= after + seconds, args
        assert agent.platform_pending() == int(record["USEC"]) / 1e6
        assert abs(host_deadline() - agent.platform_pending()) < 0.01, args
        leftovers = [p.name for p in agent.run_path("/run/systemd/shutdown").iterdir()]
        assert leftovers == ["scheduled"], "written through a temporary file and a rename"
    # Outside a /run of the daemon's own the stand-in writes no systemd record.
    assert standin(agent, "-h", "+5", inside=False).returncode == 0
    assert abs(host_deadline() - time.time() - 300) < 5
    assert HOST_SCHEDULED.exists() == host_had
    assert agent.platform_pending() is not None and agent.platform_pending() < time.time() + 5


def test_standin_fails_and_is_slow_on_demand(agent, shutdown_calls, host_deadline, tmp_path):
    log = Path(agent.env["UPS_STANDIN_LOG"])
    fail = Path(str(log) + ".fail")
    assert standin(agent, "-h", "+10").returncode == 0
    deadline = agent.platform_pending()

    # Two failing calls, a schedule and a cancel: each logged, neither changes
    # the pending shutdown; the third call succeeds again.
    fail.write_text("2\n")
    for args, left in ((["-h", "+1"], "1"), (["-c"], None)):
        done = standin(agent, *args)
        assert done.returncode == 1
        assert "Connection timed out" in done.stderr
        assert shutdown_calls()[-1] == args
        assert agent.platform_pending() == deadline and abs(host_deadline() - deadline) < 0.01
        assert (fail.read_text().strip() if fail.exists() else None) == left
    assert standin(agent, "-h", "+1").returncode == 0
    assert agent.platform_pending() < deadline

    # A slow call is logged at once and acts only after its seconds.
    Path(str(log) + ".slow").write_text("1.5\n")
    calls = len(shutdown_calls())
    started = time.monotonic()
    slow = subprocess.Popen(["nsenter", "-t", str(agent.private_run().pid), "-m", "--",
                             str(STANDIN / "shutdown"), "-c"], env=agent.env)
    wait_for(lambda: len(shutdown_calls()) > calls, 5, interval=0.02, what="the call logged")
    assert agent.platform_pending() is not None, "not acted on yet"
    assert slow.wait(10) == 0
    assert time.monotonic() - started >= 1.5
    assert agent.platform_pending() is None and host_deadline() is None


def test_private_run_outlives_a_restart_and_takes_the_operator_cancel(sim, agent, host_deadline):
    agent.write_settings(device=sim.path)
    agent.start(private_run=True)
    # The process kept is upsagent itself, with the private /run.
    assert os.readlink("/proc/%d/exe" % agent.proc.pid) == str((agent.dir / "upsagent").resolve())
    assert Path("/proc/%d/root/run/ups-standin-run" % agent.proc.pid).exists()
    assert not Path("/run/ups-standin-run").exists()
    wait_for(lambda: any(e.endswith("01 08 1 0") for e in agent.events()), 15, what="Connect")
    t_fail = time.time()
    sim.control("mains fail")
    deadline = wait_for(agent.platform_pending, 15, what="the platform's pending shutdown")
    assert abs(deadline - (t_fail + 600)) < 15

    holder = agent.run_holder.pid
    agent.procs.stop(agent.proc, signal.SIGKILL)
    assert agent.platform_pending() == deadline, "the platform keeps it while no daemon runs"
    # The operator's cancel, while no daemon could answer it.
    assert agent.operator_cancel().returncode == 0
    assert Path(agent.env["UPS_STANDIN_LOG"]).read_text().splitlines()[-1] == '["-c"]'
    assert agent.platform_pending() is None and host_deadline() is None

    # The restarted daemon has the same /run.
    agent.run_path("/run/marker-of-this-run").write_text("")
    agent.start(private_run=True)
    assert agent.run_holder.pid == holder
    assert os.readlink("/proc/%d/ns/mnt" % agent.proc.pid) == \
        os.readlink("/proc/%d/ns/mnt" % holder)
    assert Path("/proc/%d/root/run/marker-of-this-run" % agent.proc.pid).exists()
