"""Least privilege: the service unit as installed keeps the daemon in a
tight sandbox, and the daemon does all of its work as a user of its own
without capabilities (the serial line through a group, the host's shutdown
through the platform)."""
import json
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import BIN, STANDIN, Agent, connect, ask_mgmt, wait_for

PREFIX = "/opt/tarvo-mains-sentinel"

# Numeric ids no account on a test host has: the daemon's user and group,
# and the group that may open the serial line (dialout on a real host).
DAEMON_UID = 61427
DAEMON_GID = 61427
SERIAL_GID = 61428


@pytest.fixture
def installed(tmp_path):
    """The install below a scratch root, as `make install` puts it."""
    root = tmp_path / "root"
    subprocess.run(["cmake", "--install", str(BIN.parent), "--prefix", PREFIX],
                   env=dict(os.environ, DESTDIR=str(root)), check=True, capture_output=True)
    return root


def exposure(root):
    """systemd-analyze's overall exposure of the installed unit, and its report."""
    done = subprocess.run(["systemd-analyze", "security", "--offline=true", "--root=%s" % root,
                           "--no-pager", "upsagent.service"],
                          capture_output=True, text=True)
    found = re.search(r"Overall exposure level for upsagent\.service: (\d+\.\d+)", done.stdout)
    assert found, done.stdout + done.stderr
    return float(found.group(1)), done.stdout


def test_installed_unit_is_rated_at_most_5_and_verifies(installed):
    level, report = exposure(installed)
    assert level <= 5.0, report
    # The checks that make the daemon unprivileged hold, whatever the total.
    for check in ("User=/DynamicUser=", "CapabilityBoundingSet=~CAP_SYS_ADMIN",
                  "NoNewPrivileges=", "SystemCallFilter=~@privileged",
                  "RestrictNamespaces=~user"):
        line = next((l for l in report.splitlines() if l[2:].startswith(check)), None)
        assert line is not None and line.startswith("\u2713"), (check, report)
    unit = installed / "lib/systemd/system/upsagent.service"
    done = subprocess.run(["systemd-analyze", "verify", "--man=no", "--root=%s" % installed,
                           str(unit)], capture_output=True, text=True)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    text = unit.read_text()
    assert "ReadWritePaths=%s/Set %s/DataBase\n" % (PREFIX, PREFIX) in text
    assert "@PROGRAM_DIR@" not in text


@pytest.fixture
def user_dir(procs):
    """A directory the daemon's user can reach (pytest's own are root's
    alone), removed afterwards, once the processes writing there ended."""
    path = Path(tempfile.mkdtemp(prefix="ups-privilege-"))
    os.chmod(path, 0o755)
    yield path
    procs.stop_all()
    shutil.rmtree(path, ignore_errors=True)


def status_fields(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def serial_line_for_group(sim):
    """The sim's line given to the serial group, as udev gives dialout the
    ttyS ports."""
    os.chown(sim.path, 0, SERIAL_GID)
    os.chmod(sim.path, 0o660)


def start_unprivileged(procs, sim, user_dir):
    """upsagent on `sim`'s line as the daemon's user, in a program directory
    laid out as installed (the directory and the program root's, Set/ and
    DataBase/ and what is in them the daemon's); returns it and the path of
    the stand-in shutdown's log."""
    # The stand-in keeps its log where the daemon's user may write, as the
    # platform's shutdown service keeps its own state.
    standin = user_dir / "standin"
    standin.mkdir()
    os.chown(standin, DAEMON_UID, DAEMON_GID)
    calls = standin / "shutdown.calls"
    env = dict(os.environ, PATH="%s:%s" % (STANDIN, os.environ.get("PATH", "/usr/bin:/bin")),
               UPS_STANDIN_LOG=str(calls), TZ=os.environ.get("TZ", "UTC"))
    agent = Agent(procs, user_dir / "prog", env)
    agent.write_settings(device=sim.path)
    (agent.dir / "DataBase").mkdir(mode=0o700)
    for path in [agent.dir / "Set", agent.dir / "DataBase"] + \
            list((agent.dir / "Set").iterdir()):
        os.chown(path, DAEMON_UID, DAEMON_GID)
    serial_line_for_group(sim)
    # logind writes its schedule as root; the stand-in does it as the daemon's user.
    agent.private_run()
    os.chown(agent.run_path("/run/systemd/shutdown"), DAEMON_UID, DAEMON_GID)
    agent.start(user=(DAEMON_UID, DAEMON_GID, [SERIAL_GID]))
    return agent, calls


def test_daemon_works_as_its_own_user_without_capabilities(procs, sim, user_dir):
    agent, calls = start_unprivileged(procs, sim, user_dir)

    status = status_fields(agent.proc.pid)
    assert status["Uid"].split() == [str(DAEMON_UID)] * 4
    assert status["Groups"].split() == [str(SERIAL_GID)]
    for caps in ("CapEff", "CapPrm", "CapBnd", "CapAmb"):
        assert int(status[caps], 16) == 0, (caps, status[caps])
    assert status["NoNewPrivs"] == "1"

    # It polls the unit over the group's serial line and serves both ports.
    wait_for(lambda: any(line.split()[1:2] == ["230.0"] for line in agent.history(1)), 20,
             what="a history line from the unit")
    client = connect()
    try:
        assert len(client.record(1)) == 108
    finally:
        client.close()
    assert ask_mgmt("NETVER") == "1.3\n", "port 3493 answers"

    # A mains failure reaches the host's shutdown, and the platform's schedule
    # is read back: one call, not one a minute.
    sim.control("mains fail")
    wait_for(calls.exists, 20, what="the host shutdown call")
    wait_for(lambda: agent.platform_pending() is not None, 10, what="the platform's schedule")
    assert calls.read_text().splitlines() == [
        '["-h", "+10", "System will shut down after 10 mins."]']
    wait_for(lambda: (agent.dir / "DataBase" / "Shutdown.ang").exists()
             and "host 0" not in (agent.dir / "DataBase" / "Shutdown.ang").read_text(), 10,
             what="the deadline in Shutdown.ang")
    # Everything it made is its own, and nothing it said was a refusal.
    for path in (agent.dir / "DataBase").iterdir():
        assert path.stat().st_uid == DAEMON_UID, path
    assert "ermission denied" not in agent.stdout(), agent.stdout()


# polkit's rule interface, the rule file, the cases and their results: in
# ECMAScript 5 with print or console.log, so that duktape (the engine polkitd
# itself runs the rules with) or node can run it.
POLKIT_STUB = """
var rules = [];
var polkit = { Result: { YES: "yes", NO: "no", NOT_HANDLED: null },
               addRule: function (f) { rules.push(f); } };
"""
POLKIT_RUN = """
var out = cases.map(function (c) {
    for (var i = 0; i < rules.length; i++) {
        var r = rules[i]({ id: c[1] }, { user: c[0] });
        if (r !== null && r !== undefined) return r;
    }
    return "not handled";
});
(typeof print === "function" ? print : console.log)(JSON.stringify(out));
"""


def test_polkit_rule_grants_the_daemon_its_shutdown_and_nothing_more(tmp_path):
    """The rule run by a JavaScript engine with polkit's rule interface:
    the daemon's user gets exactly the actions logind checks for scheduling
    and cancelling a power-off; others and other actions are left alone."""
    engine = shutil.which("duk") or shutil.which("node")
    if engine is None:
        pytest.skip("needs duktape (duk) or node to run the polkit rule")
    rule = Path(__file__).resolve().parents[2] / "packaging" / "50-upsagent.rules"
    table = [
        ("upsagent", "org.freedesktop.login1.power-off", "yes"),
        ("upsagent", "org.freedesktop.login1.power-off-multiple-sessions", "yes"),
        ("upsagent", "org.freedesktop.login1.power-off-ignore-inhibit", "yes"),
        ("upsagent", "org.freedesktop.login1.set-wall-message", "yes"),
        ("upsagent", "org.freedesktop.login1.reboot", "not handled"),
        ("upsagent", "org.freedesktop.login1.halt", "not handled"),
        ("upsagent", "org.freedesktop.systemd1.manage-units", "not handled"),
        ("upsagent", "org.freedesktop.login1.power-off-extra", "not handled"),
        ("nobody", "org.freedesktop.login1.power-off", "not handled"),
        ("upsagent2", "org.freedesktop.login1.power-off-ignore-inhibit", "not handled"),
    ]
    script = tmp_path / "rule.js"
    script.write_text(POLKIT_STUB + rule.read_text() + "\nvar cases = %s;\n"
                      % json.dumps([[u, a] for u, a, _ in table]) + POLKIT_RUN)
    done = subprocess.run([engine, str(script)], capture_output=True, text=True, check=True)
    assert json.loads(done.stdout) == [want for _, _, want in table]


def test_console_run_as_root_leaves_its_settings_to_the_daemon(procs, make_sim, user_dir,
                                                             make_console):
    """The console, run as root as before, saves the settings into the
    daemon's Set/: the file is the daemon's, so the reload it asks for
    takes the new line."""
    first, second = make_sim(), make_sim()
    agent, _ = start_unprivileged(procs, first, user_dir)
    serial_line_for_group(second)
    console = make_console(agent.dir).start()
    console.wait_text("1.Monitor UPS Information")
    console.keys(*["Down"] * 6, "Enter")
    console.wait_text("Configuration Setting", row=1)
    console.keys("Down", "Down", "Enter")  # the device field's input box
    console.wait_text(first.path, row=14)
    console.keys(*["BSpace"] * len(first.path))
    console.type(second.path)
    console.keys("Enter")
    console.wait_text(second.path, row=8)
    console.keys("Down", "Down", "Enter")  # the delay's list
    console.wait_text("-" * 58, row=12)
    console.keys("Enter")
    wait_for(lambda: "-" * 58 not in console.row(12), 5, what="the list popup to close")
    console.keys("Left", "Enter")  # Save
    console.wait_text("1.Monitor UPS Information")

    setting = agent.dir / "Set" / "Setting.ang"
    assert second.path in setting.read_text()
    st = setting.stat()
    assert (st.st_uid, st.st_gid) == (DAEMON_UID, DAEMON_GID)
    wait_for(lambda: second.requests(), 20, what="the daemon polling the new line")
    assert "ermission denied" not in agent.stdout(), agent.stdout()
