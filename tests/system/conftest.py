"""Fixtures for the system tests: the real upsagent against upssim on a
pseudo-terminal, each test in a fresh program directory of its own.

Safety: the tests run as root, so upsagent is started only when the recording
stand-in `shutdown` is first on its PATH; a real host shutdown is never
reachable from a test.
"""
import ctypes
import fcntl
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time
from pathlib import Path

import pytest

from servers import http_gateway, smtp_server  # noqa: F401  (fixtures)

REPO = Path(__file__).resolve().parents[2]
BIN = Path(os.environ.get("UPS_BIN_DIR", REPO / "build" / "bin"))
STANDIN = REPO / "tests" / "standin"

SANITIZER_MARKS = ("ThreadSanitizer", "AddressSanitizer", "LeakSanitizer")
PORT = 2027


def private_network():
    """Moves this test process into a network namespace of its own with only
    a loopback interface: the daemons of its tests own port 2027 there, so
    parallel test processes never collide, and no traffic leaves loopback.
    Tests within one process run one after another. Needs root."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x40000000) != 0:  # CLONE_NEWNET
        return False
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        ifreq = struct.pack("16sh", b"lo", 0)
        flags = struct.unpack("16sh", fcntl.ioctl(s, 0x8913, ifreq))[1]  # SIOCGIFFLAGS
        fcntl.ioctl(s, 0x8914, struct.pack("16sh", b"lo", flags | 1))   # SIOCSIFFLAGS, IFF_UP
    return True


PRIVATE_NETWORK = [False]  # this test process has a network namespace of its own


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow(seconds): a test that takes about that long (most of it the daemon's "
        "own timers); parallel runs start these first, spread over the workers")
    if os.geteuid() == 0:
        PRIVATE_NETWORK[0] = private_network()


def pytest_collection_modifyitems(config, items):
    """In a parallel run, puts the slow tests at the start of the workers'
    first batches, longest first and dealt to the workers back and forth:
    otherwise a minute-long test handed out late keeps the run going after
    the other workers are done. pytest-xdist's load scheduling gives each of
    its n workers a first batch of max(len(items) // n // 4, 2) consecutive
    tests and refills them as they go; were that to change, the slow tests
    would still be spread out."""
    workers = getattr(config, "workerinput", {}).get("workercount")
    if not workers:
        return
    slow = sorted((i for i in items if i.get_closest_marker("slow")),
                  key=lambda i: -i.get_closest_marker("slow").args[0])
    batch = max(len(items) // workers // 4, 2)
    placed = {}
    for k, item in enumerate(slow):
        turn, seat = divmod(k, workers)
        worker = seat if turn % 2 == 0 else workers - 1 - seat
        at = worker * batch + turn
        if turn < batch and at < len(items):
            placed[at] = item
    chosen = {id(i) for i in placed.values()}
    rest = iter([i for i in items if id(i) not in chosen])
    items[:] = [placed[n] if n in placed else next(rest) for n in range(len(items))]


class Client:
    """A client of a daemon's port 2027, as a console or another daemon is."""

    def __init__(self, host="127.0.0.1", timeout=5.0, source=None):
        self.sock = socket.create_connection((host, PORT), timeout=timeout,
                                             source_address=(source, 0) if source else None)

    def send(self, data):
        self.sock.sendall(data)

    def record(self, unit, timeout=3.0):
        """Asks for a unit's StatusRecord; returns the bytes received."""
        self.send(b"ALL" + bytes([unit]) + b"\0")
        return self.receive(108, timeout)

    def receive(self, size, timeout=3.0):
        self.sock.settimeout(timeout)
        data = b""
        try:
            while len(data) < size:
                chunk = self.sock.recv(size - len(data))
                if not chunk:
                    break
                data += chunk
        except socket.timeout:
            pass
        return data

    def pending(self):
        """What has arrived already, without waiting (b"" for nothing; None
        when the server has closed the connection)."""
        self.sock.setblocking(False)
        try:
            return self.sock.recv(65536) or None
        except BlockingIOError:
            return b""
        except OSError:
            return None
        finally:
            self.sock.setblocking(True)

    def closed_by_server(self, timeout=5.0):
        """True when the server ends the connection within `timeout` (what
        it sent before is read and dropped); False when it stays open."""
        return closed_by_peer(self.sock, timeout)

    def close(self, wait=True, timeout=10.0):
        """Ends the connection. With `wait`, as a client whose commands must
        count: the write side is shut and the server's own close (it closes
        once it has read everything and met the end) awaited, within
        `timeout`, so the socket still names its owner when the server asks
        who sent a command; a socket closed at once names no one and its
        commands are refused. Without, closed at once."""
        if wait:
            try:
                self.sock.shutdown(socket.SHUT_WR)
                closed_by_peer(self.sock, timeout)
            except OSError:
                pass
        self.sock.close()


def connect(timeout=10.0):
    """A Client once the daemon listens."""
    def attempt():
        try:
            return Client()
        except OSError:
            return None
    return wait_for(attempt, timeout, what="the daemon to listen on port 2027")


def server_caught_up():
    """A record asked for on a fresh connection and answered. The server
    takes a new connection's bytes only in a later turn of its loop than
    the bytes other sessions had sent before it connected, so once this
    returns the server has read and acted on those (a command refused or
    queued, a reload done or held)."""
    client = connect()
    try:
        assert len(client.record(1)) == 108, "the server answers"
    finally:
        client.close()


def established_on_2027():
    """Established TCP sockets with an end on port 2027 (both ends of a
    loopback connection count)."""
    count = 0
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            ports = [int(a.split(":")[1], 16) for a in fields[1:3]]
            if fields[3] == "01" and PORT in ports:
                count += 1
    return count


def ask(sock, request, end=b"\n"):
    """Sends a request on `sock`, returns the reply up to and including `end`."""
    sock.sendall(request)
    got = b""
    while not got.endswith(end):
        chunk = sock.recv(4096)
        assert chunk, "closed after %r" % got
        got += chunk
    return got


def ask_mgmt(line, host="127.0.0.1"):
    """One request line to port 3493 in its own connection; the first reply line."""
    with socket.create_connection((host, 3493), timeout=5) as s:
        return ask(s, line.encode() + b"\n").decode()


def wait_for(predicate, timeout=10.0, interval=0.1, what="condition", failure=None):
    """Polls `predicate` until it returns a true value; fails the test after
    `timeout` seconds, with `failure()` as the message when given (it may
    tell the state as it was then)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            pytest.fail(failure() if failure else
                        "timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def stays(predicate, what, seconds=None, until=None, timeout=20.0, interval=0.1):
    """Checks that `predicate` holds throughout a period and fails the test
    the moment it does not. The period ends when `until()` is true (a sign
    of the programs' progress, such as polls made; failing when it has not
    come within `timeout` seconds), or after `seconds` where nothing shows
    progress: the bounded wait of a "does not happen" check, as short as the
    property allows."""
    assert (seconds is None) != (until is None), "either seconds or until"
    deadline = time.monotonic() + (seconds if seconds is not None else timeout)
    while True:
        if not predicate():
            pytest.fail("no longer true: %s" % what)
        if until is not None and until():
            if not predicate():
                pytest.fail("no longer true: %s" % what)
            return
        if time.monotonic() > deadline:
            if until is not None:
                pytest.fail("timed out after %.1f s waiting for progress while checking %s"
                            % (timeout, what))
            return
        time.sleep(interval)


def closed_by_peer(sock, timeout=5.0):
    """True when the peer ends the connection on `sock` within `timeout`
    (whatever it sent first, a TLS alert for one, is read and dropped);
    False when it stays open."""
    sock.settimeout(timeout)
    try:
        while sock.recv(4096):
            pass
    except ConnectionResetError:
        pass
    except socket.timeout:
        return False
    return True


def children_of(pid, zombies_only=False):
    """Process ids of the children of `pid`, zombies among them (or only the
    zombies)."""
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == pid and (fields[0] == "Z" or not zombies_only):
            found.append(int(stat.parent.name))
    return found


def processes_of(program):
    """Process ids running the executable or script at path `program`."""
    program = str(program)
    found = []
    for proc in Path("/proc").glob("[0-9]*"):
        try:
            argv = (proc / "cmdline").read_bytes().split(b"\0")
            exe = os.readlink(proc / "exe")
        except OSError:
            continue
        if exe == program or (len(argv) > 1 and argv[1].decode(errors="replace") == program):
            found.append(int(proc.name))
    return found


def unescape(text):
    """Turns a log entry of upssim back into bytes."""
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "r":
                out.append(13)
                i += 2
            elif n == "n":
                out.append(10)
                i += 2
            elif n == "\\":
                out.append(92)
                i += 2
            elif n == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
            else:
                out.append(92)
                i += 1
        else:
            out.append(ord(c))
            i += 1
    return bytes(out)


class Processes:
    """Every process a test starts, stopped at teardown (process groups, so
    nothing they started survives either)."""

    def __init__(self):
        self.procs = []

    def start(self, argv, **kw):
        proc = subprocess.Popen(argv, start_new_session=True, **kw)
        self.procs.append(proc)
        return proc

    def stop(self, proc, sig=signal.SIGTERM):
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                pass
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(timeout=5)
        else:
            try:  # children of an ended leader
                os.killpg(proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass

    def stop_all(self):
        for proc in reversed(self.procs):
            self.stop(proc)


class SimLog:
    """The control FIFO and the log of a simulated UPS line (upssim, or the
    stand-in libusb, which share the unit model and its commands)."""

    control_path = None
    log_path = None

    def control(self, *commands):
        wait_for(self.control_path.exists, 10, what="the control FIFO")
        # A command given before is taken when it is logged once more.
        before = self.log_text()
        wanted = {c: before.count(c) + list(commands).count(c) for c in commands}
        with open(self.control_path, "w") as f:
            for command in commands:
                f.write(command + "\n")
        # the FIFO is read within a poll period; wait until it is logged
        wait_for(lambda: all(self.log_text().count(c) >= n for c, n in wanted.items()), 5,
                 what="the simulator to take %r" % (commands,))

    def log_text(self):
        try:
            return self.log_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def entries(self, tag=None):
        """(time, tag, bytes) of every log line, optionally of one tag."""
        found = []
        for line in self.log_text().splitlines():
            parts = line.split(" ", 2)
            if len(parts) < 3:
                continue
            if tag is None or parts[1] == tag:
                data = unescape(parts[2]) if parts[1] in ("rx", "tx", "set") else parts[2].encode()
                found.append((float(parts[0]), parts[1], data))
        return found

    def requests(self, since=0.0):
        """The request bytes received after time `since`."""
        return [data for t, _, data in self.entries("rx") if t >= since]

    def status_replies(self, since=0.0):
        """Number of status replies sent after time `since`."""
        return sum(1 for t, _, data in self.entries("tx") if t >= since and data[:1] == b"(")

    def control_and_wait(self, command, replies):
        """Applies a control command and waits until `replies` status replies
        went out after it (for example until a "for N" change has reverted)."""
        self.control(command)
        t = self.control_time(command)
        wait_for(lambda: self.status_replies(t) >= replies, 10 + 2 * replies,
                 what="%d status replies after %r" % (replies, command))
        return t

    def wait_requests(self, count, since=None, timeout=None):
        """Waits until `count` requests came in after `since` (now when not
        given). The daemon writes a request only after its receive pass of
        the one before: each that comes in means the poll before it, and the
        status check after that poll, are over."""
        since = time.time() if since is None else since
        wait_for(lambda: len(self.requests(since)) >= count, timeout or 10 + 3 * count,
                 what="%d requests at the UPS" % count)

    def control_time(self, command):
        """Time stamp of the last log entry of a control command."""
        times = [t for t, _, data in self.entries("ctl") if data.decode() == command]
        return times[-1] if times else None


class Sim(SimLog):
    """upssim on a pseudo-terminal, with its control FIFO and request log."""

    def __init__(self, procs, workdir, units=1, ups_type="online"):
        self.workdir = Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.control_path = self.workdir / "control"
        self.log_path = self.workdir / "sim.log"
        self.stderr_path = self.workdir / "sim.err"
        self.proc = procs.start(
            [str(BIN / "upssim"), "--control", str(self.control_path), "--log",
             str(self.log_path), "--units", str(units), "--type", ups_type],
            stdout=subprocess.PIPE, stderr=open(self.stderr_path, "w"))
        self.path = self.proc.stdout.readline().decode().strip()
        assert self.path.startswith("/"), "upssim printed no device path"
        wait_for(self.control_path.exists, 5, what="the control FIFO")


class FakeUsb(SimLog):
    """The stand-in libusb (tests/fakeusb), loaded into an agent with
    LD_PRELOAD: a list of USB devices ("vvvv:pppp[:FLAGS[:SERIAL]]"), a 'u'
    UPS among them answering from the simulator's unit model, an 'h' HID
    Power Device from a report descriptor and report table (tests/hid/NAME.desc
    and NAME.reports; `hid_strings` "MANUFACTURER|PRODUCT|SERIAL")."""

    LIBRARY = BIN.parent / "lib" / "libfakeusb.so"

    def __init__(self, workdir, devices="0001:0000:u", units=1, ups_type="online",
                 hid_descriptor=None, hid_reports=None, hid_strings=None):
        self.workdir = Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.control_path = self.workdir / "usb-control"
        self.log_path = self.workdir / "usb.log"
        self.devices, self.units, self.ups_type = devices, units, ups_type
        self.hid_descriptor, self.hid_reports = hid_descriptor, hid_reports
        self.hid_strings = hid_strings

    def install(self, agent):
        """Puts the stand-in into the agent's environment."""
        env = dict(agent.env, LD_PRELOAD=str(self.LIBRARY), UPS_FAKEUSB_DEVICES=self.devices,
                   UPS_FAKEUSB_CONTROL=str(self.control_path),
                   UPS_FAKEUSB_LOG=str(self.log_path), UPS_FAKEUSB_UNITS=str(self.units),
                   UPS_FAKEUSB_TYPE=self.ups_type)
        for name, value in (("UPS_FAKEUSB_HID_DESCRIPTOR", self.hid_descriptor),
                            ("UPS_FAKEUSB_HID_REPORTS", self.hid_reports),
                            ("UPS_FAKEUSB_HID_STRINGS", self.hid_strings)):
            env.pop(name, None)
            if value is not None:
                env[name] = str(value)
        agent.env = env

    def usb_events(self):
        """The "usb" log lines, without time stamps."""
        return [data.decode() for _, _, data in self.entries("usb")]

    def reports(self):
        """The raw SET_REPORT payloads."""
        return [data for _, _, data in self.entries("set")]

    def hid_sets(self):
        """The HID SET_REPORTs taken, "ID TYPE HEX" each (id two hex digits,
        the bytes lowercase hex with the id byte), oldest first."""
        return [data.decode() for _, _, data in self.entries("hidset")]

    def hid_set(self, line):
        """Changes a report of the HID devices ("ID TYPE HEXBYTES", as in a
        report table); a changed Input report is sent on the interrupt
        endpoint."""
        self.control("hid set " + line)


def free_udp_port():
    """A UDP port on 127.0.0.1 that nothing uses now."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SnmpCard(SimLog):
    """The stand-in for a UPS network card: Net-SNMP's snmpd on 127.0.0.1 and
    a free UDP port, with a private configuration and persistent directory,
    serving the UPS-MIB subtree through upssim's pass_persist mode (unit 1 of
    the simulator's model; sim/card.h). Control words and log are upssim's,
    plus `card partial|wrongtype on|off`; every SET taken is an "snmpset" log
    line. `address` and `community` are what the daemon's settings take."""

    SUBTREE = "1.3.6.1.2.1.33"

    def __init__(self, procs, workdir, community="ngroup", ups_type="online"):
        self.procs = procs
        self.workdir = Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.control_path = self.workdir / "control"
        self.log_path = self.workdir / "sim.log"
        self.community = community
        self.port = free_udp_port()
        self.address = "127.0.0.1:%d" % self.port
        upssim = BIN / "upssim"
        for path in (upssim, self.workdir):
            assert " " not in str(path), "snmpd splits pass_persist commands at blanks: %s" % path
        # Empty configuration directories, so neither snmpd nor the tools
        # read the host's /etc/snmp or write to /var/lib/snmp.
        for name in ("snmpd-conf", "client-conf", "persist"):
            (self.workdir / name).mkdir(exist_ok=True)
        base = dict(os.environ, SNMP_PERSISTENT_DIR=str(self.workdir / "persist"), MIBS="")
        self.env = dict(base, SNMPCONFPATH=str(self.workdir / "client-conf"))
        conf = self.workdir / "snmpd.conf"
        # One rwcommunity line: an rocommunity of the same name would take
        # precedence and refuse every SET.
        conf.write_text(
            "agentaddress udp:%s\n"
            "rwcommunity %s 127.0.0.1\n"
            "dontLogTCPWrappersConnects yes\n"
            "pass_persist .%s %s --pass-persist --control %s --log %s --type %s\n"
            % (self.address, community, self.SUBTREE, upssim, self.control_path, self.log_path,
               ups_type))
        snmpd = shutil.which("snmpd") or "/usr/sbin/snmpd"
        self.proc = procs.start(
            [snmpd, "-f", "-Lo", "-C", "-c", str(conf), "-p", str(self.workdir / "snmpd.pid")],
            env=dict(base, SNMPCONFPATH=str(self.workdir / "snmpd-conf")),
            stdout=open(self.workdir / "snmpd.log", "w"), stderr=subprocess.STDOUT)
        # The first request starts upssim, which makes the control FIFO.
        wait_for(lambda: self.get(self.SUBTREE + ".1.1.1.0", timeout=0.5), 10,
                 what="snmpd to answer on %s" % self.address)
        wait_for(self.control_path.exists, 5, what="the control FIFO")

    def snmp(self, tool, *args, community=None, timeout=1.0):
        """Runs snmpget, snmpset, snmpwalk... (v2c, numeric OIDs, no MIBs, no
        retries) against the card; returns the CompletedProcess."""
        return subprocess.run(
            [tool, "-v2c", "-c", community or self.community, "-On", "-t", str(timeout),
             "-r", "0", self.address] + list(args),
            env=self.env, capture_output=True, text=True, timeout=timeout + 30)

    def get(self, oid, **kw):
        """The "TYPE: value" text of one object, or None (no answer, no such
        object)."""
        done = self.snmp("snmpget", oid, **kw)
        parts = done.stdout.strip().split(" = ", 1)
        if done.returncode != 0 or len(parts) != 2 or parts[1].startswith("No Such"):
            return None
        return parts[1]

    def walk(self, oid=SUBTREE, **kw):
        """(OID with leading dot, "TYPE: value") of every object below `oid`."""
        done = self.snmp("snmpwalk", oid, **kw)
        assert done.returncode == 0, done.stderr
        return [tuple(line.split(" = ", 1)) for line in done.stdout.splitlines() if " = " in line]

    def sets(self):
        """(OID, type, value) of every SET the card took, oldest first."""
        return [tuple(data.decode().split(" ", 2)) for _, _, data in self.entries("snmpset")]

    def pause(self):
        """Stops snmpd (SIGSTOP): the card answers nothing until resume()."""
        os.kill(self.proc.pid, signal.SIGSTOP)

    def resume(self):
        os.kill(self.proc.pid, signal.SIGCONT)

    def stop(self):
        if self.proc.poll() is None:
            self.resume()  # a stopped snmpd would not take the SIGTERM
        self.procs.stop(self.proc)


class Agent:
    """upsagent copied into its own program directory."""

    def __init__(self, procs, progdir, env):
        self.procs = procs
        self.dir = Path(progdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.env = env
        self.proc = None
        self.run_holder = None  # the process that keeps the private /run (start(private_run=True))
        self.stdout_path = self.dir / "agent.out"
        self.stderr_path = self.dir / "agent.err"
        shutil.copy2(BIN / "upsagent", self.dir / "upsagent")

    def write_settings(self, mode="Local-Single", link="RS232", device="", community="",
                       ac_fail=10, battery_low=1, ups_shutdown=2, number=1, baud="2400"):
        setdir = self.dir / "Set"
        setdir.mkdir(mode=0o700, exist_ok=True)
        lines = [mode, link, device, community, ac_fail, battery_low, ups_shutdown, number, baud]
        (setdir / "Setting.ang").write_text("".join("%s\n" % v for v in lines))

    # The return hold time the tests run with unless they say otherwise:
    # short, so a mains return is taken within a test's usual limits; the
    # tests of the hold time itself give their own.
    RETURN_HOLD = 2

    def start(self, argv0=None, cwd=None, private_run=True, args=(), user=None):
        """Starts upsagent with the extra command-line options `args` (and
        `--return-hold RETURN_HOLD` unless they name one). With `user`, a
        (uid, gid, supplementary gids) triple, it runs as that user through
        setpriv, without capabilities and with no new privileges, as the
        service unit runs it. With
        `private_run` (the default: no test depends on the host's /run) it
        runs in a mount namespace whose /run is a tmpfs of its own, with
        /run/systemd/system in it: the stand-in shutdown keeps its pending
        shutdown there as systemd does (platform_pending). The first such
        start of a test makes that /run; later ones (restarts) get the same
        one, as the platform outlives a daemon restart."""
        args = [str(a) for a in args]
        if "--return-hold" not in args:
            args = ["--return-hold", str(self.RETURN_HOLD)] + args
        found = shutil.which("shutdown", path=self.env.get("PATH", ""))
        if found is None or Path(found).resolve() != (STANDIN / "shutdown").resolve():
            raise RuntimeError("refusing to start upsagent: the stand-in shutdown is not "
                               "first on PATH (found %r)" % found)
        program = str(self.dir / "upsagent")
        argv = [argv0 or program] + [str(a) for a in args]
        executable = program
        if user is not None:
            uid, gid, groups = user
            argv = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid,
                    "--groups=" + ",".join(str(g) for g in groups) if groups
                    else "--clear-groups", "--inh-caps=-all", "--bounding-set=-all",
                    "--no-new-privs", "--", program] + argv[1:]
            executable = None
        if private_run:
            # nsenter execs upsagent, so the process kept is upsagent itself.
            argv = ["nsenter", "-t", str(self.private_run().pid), "-m", "--"] + argv
            executable = None
        self.proc = self.procs.start(
            argv, executable=executable, cwd=cwd or str(self.dir),
            env=self.env, stdout=open(self.stdout_path, "a"),
            stderr=open(self.stderr_path, "a"))
        if private_run or user is not None:
            # Started once upsagent runs, not nsenter or setpriv: its stop
            # and kill reach the daemon.
            wait_for(lambda: self._running_upsagent(), 10, interval=0.02,
                     what="upsagent to start in its mount namespace")
        return self

    def _running_upsagent(self):
        try:
            return os.readlink("/proc/%d/exe" % self.proc.pid) == \
                str((self.dir / "upsagent").resolve())
        except OSError:
            return self.proc.poll() is not None  # ended: the caller sees it dead

    def private_run(self):
        """The process holding the mount namespace with the daemon's own /run
        (a tmpfs, with /run/systemd/system and /run/systemd/shutdown, and the
        stand-in's marker /run/ups-standin-run); made at the first call,
        stopped with the test's other processes."""
        if self.run_holder is None or self.run_holder.poll() is not None:
            self.run_holder = self.procs.start(
                ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                 "mount -t tmpfs -o mode=0755 tmpfs /run && "
                 "mkdir -p /run/systemd/system /run/systemd/shutdown && "
                 "touch /run/ups-standin-run && exec sleep infinity"],
                env=self.env)
            wait_for(lambda: self.run_path("/run/ups-standin-run").exists(), 10,
                     what="the private /run")
        return self.run_holder

    def run_path(self, path):
        """A path as the daemon's mount namespace sees it (`path` absolute)."""
        return Path("/proc/%d/root%s" % (self.run_holder.pid, path))

    def platform_pending(self):
        """The deadline (seconds since the epoch) of the shutdown pending on
        the daemon's platform, from systemd's /run/systemd/shutdown/scheduled
        in its private /run; None when none is pending."""
        try:
            text = self.run_path("/run/systemd/shutdown/scheduled").read_text()
        except FileNotFoundError:
            return None
        fields = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        return int(fields["USEC"]) / 1e6

    def operator_cancel(self):
        """An operator's "shutdown -c" by hand on the daemon's host: the
        stand-in, run in the daemon's mount namespace with its environment."""
        return subprocess.run(["nsenter", "-t", str(self.private_run().pid), "-m", "--",
                               str(STANDIN / "shutdown"), "-c"],
                              env=self.env, capture_output=True, text=True, check=True)

    def stop(self):
        if self.proc:
            self.procs.stop(self.proc)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stdout(self):
        return self.stdout_path.read_text(errors="replace")

    def history(self, unit):
        """History lines of a unit, all days, oldest file first."""
        lines = []
        for path in sorted((self.dir / "DataBase").glob("M%d????????.ang" % unit)):
            lines += path.read_text().splitlines()
        return lines

    def events(self):
        path = self.dir / "DataBase" / "Event.ang"
        return path.read_text().splitlines() if path.exists() else []

    def sanitizer_report(self):
        try:
            text = self.stderr_path.read_text(errors="replace")
        except FileNotFoundError:
            return None
        return text if any(m in text for m in SANITIZER_MARKS) else None


class Wire:
    """Every payload sent to one port (TCP, or UDP with `udp`) on the
    loopback interface, in order, seen through a packet socket: what the
    console asks of the daemon, or the daemon of a card, without touching
    either. The test's network namespace has no other traffic."""

    def __init__(self, port=PORT, udp=False, on_datagram=None):
        self.port = port
        self.protocol = 17 if udp else 6
        self.on_datagram = on_datagram  # UDP: called with (source port, payload) for each
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.lock = threading.Lock()
        self.seen = set()
        self.payloads = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                frame, address = self.sock.recvfrom(65535)
            except (socket.timeout, OSError):
                continue
            if address[2] == socket.PACKET_OUTGOING or frame[12:14] != b"\x08\x00":
                continue  # loopback shows each packet twice; IPv4 only
            ip = frame[14:]
            if ip[9] != self.protocol:
                continue
            header = (ip[0] & 15) * 4
            segment = ip[header:struct.unpack("!H", ip[2:4])[0]]
            sport, dport = struct.unpack("!HH", segment[:4])
            if dport != self.port:
                continue
            if self.protocol == 17:
                with self.lock:
                    self.payloads.append(bytes(segment[8:]))
                if self.on_datagram:
                    self.on_datagram(sport, bytes(segment[8:]))
                continue
            seq = struct.unpack("!I", segment[4:8])[0]
            payload = segment[(segment[12] >> 4) * 4:]
            if not payload or (sport, seq) in self.seen:
                continue
            with self.lock:
                self.seen.add((sport, seq))
                self.payloads.append(bytes(payload))

    def sent(self):
        with self.lock:
            return list(self.payloads)

    def count(self, payload):
        return self.sent().count(payload)

    def close(self):
        self.running = False
        self.thread.join(2)
        self.sock.close()


class Console:
    """upsconsole in a detached tmux session of exactly 80 x 24, in the
    program directory it shares with its daemon; driven with send-keys and
    read with capture-pane. Its own tmux server (socket in the test's
    directory) runs in the test's network namespace."""

    started = 0

    def __init__(self, progdir, env, size=(80, 24)):
        self.dir = Path(progdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        shutil.copy2(BIN / "upsconsole", self.dir / "upsconsole")
        Console.started += 1  # a tmux server and status files of its own
        self.sock = str(self.dir / ("tmux%d.sock" % Console.started))
        self.env = dict(env)
        self.size = size
        self.status_path = self.dir / ("console%d.status" % Console.started)
        self.stty_path = self.dir / ("console%d.stty" % Console.started)
        self.stderr_path = self.dir / "console.err"

    def tmux(self, *args, check=True):
        return subprocess.run(["tmux", "-S", self.sock, "-f", "/dev/null"] + list(args),
                              env=self.env, capture_output=True, text=True, check=check)

    def start(self, stderr_to_file=True):
        """Starts the console; its stderr goes to a file (for sanitizer
        reports) unless `stderr_to_file` is false: then to its terminal."""
        try:
            self.status_path.unlink()
        except FileNotFoundError:
            pass
        # The pane stays after the console ends, so its last words can be read;
        # the exit status and the terminal modes are kept in files.
        command = "trap : INT; cd %s && ./upsconsole %s; echo $? > %s; stty -a > %s; sleep 600" % (
            self.dir, "2>>%s" % self.stderr_path if stderr_to_file else "", self.status_path,
            self.stty_path)
        self.tmux("new-session", "-d", "-s", "ups", "-x", str(self.size[0]), "-y",
                  str(self.size[1]), "sh", "-c", command)
        return self

    def keys(self, *keys, pause=0.05):
        """Sends tmux key names ("Down", "Enter", "Escape", "BSpace", "DC",
        "IC") one at a time, with a short pause after each: longer than the
        console's 25 ms escape delay, so an Escape is never read as the start
        of the next key's sequence. The console takes keys in order, so a
        test waits for what the last key shows, not for each key."""
        for key in keys:
            self.tmux("send-keys", "-t", "ups", key)
            time.sleep(pause)

    def type(self, text, pause=0.05):
        """Types literal text."""
        self.tmux("send-keys", "-t", "ups", "-l", text)
        time.sleep(pause)

    def lines(self):
        """The 24 lines of the screen, as text."""
        out = self.tmux("capture-pane", "-p", "-t", "ups", check=False).stdout
        lines = out.split("\n")[:self.size[1]]
        return lines + [""] * (self.size[1] - len(lines))

    def colours(self):
        """The screen with its colour escape sequences."""
        return self.tmux("capture-pane", "-p", "-e", "-t", "ups", check=False).stdout

    def row(self, n):
        return self.lines()[n]

    def focus_rows(self):
        """The rows with cells in the focus pair's background (magenta)."""
        return [i for i, line in enumerate(self.colours().split("\n")[:self.size[1]])
                if re.search(r"\x1b\[(?:[0-9;]*;)?45m", line)]

    def text(self):
        return "\n".join(self.lines())

    def wait_text(self, text, timeout=5.0, row=None):
        """Waits until `text` is on the screen (on row `row` if given); fails
        with the screen as it was."""
        def shown():
            screen = self.lines()
            return screen if text in (screen[row] if row is not None else "\n".join(screen)) \
                else None
        return wait_for(shown, timeout, failure=lambda: (
            "timed out after %.1f s waiting for %r on the console%s; the screen:\n%s"
            % (timeout, text, "" if row is None else " row %d" % row, "\n".join(self.lines()))))

    def exit_status(self):
        try:
            return int(self.status_path.read_text().strip())
        except (FileNotFoundError, ValueError):
            return None

    def wait_exit(self, timeout=5.0):
        """Waits for the console to end; returns its exit status."""
        wait_for(lambda: self.exit_status() is not None and self.stty_path.exists(), timeout,
                 what="the console to end")
        return self.exit_status()

    def terminal_modes(self):
        """`stty -a` of the pane after the console ended."""
        return self.stty_path.read_text()

    def stop(self):
        self.tmux("kill-server", check=False)

    def sanitizer_report(self):
        try:
            text = self.stderr_path.read_text(errors="replace")
        except FileNotFoundError:
            return None
        return text if any(m in text for m in SANITIZER_MARKS) else None


HISTORY_LINE = re.compile(
    r"^\d\d:\d\d:\d\d (\d{3}\.\d) (\d{3}\.\d) (\d{3}\.\d) (\d{3}) (\d\d\.\d) (\d\d\.\d\d) (\d\d\.\d)$")


@pytest.fixture
def procs():
    registry = Processes()
    yield registry
    registry.stop_all()


@pytest.fixture
def standin_env(tmp_path):
    """Environment with the recording stand-in shutdown first on PATH."""
    env = dict(os.environ)
    env["PATH"] = "%s:%s" % (STANDIN, env.get("PATH", "/usr/bin:/bin"))
    env["UPS_STANDIN_LOG"] = str(tmp_path / "shutdown.calls")
    env["TZ"] = env.get("TZ", "UTC")
    return env


@pytest.fixture
def shutdown_calls(tmp_path):
    """Returns the argument lists the stand-in shutdown was called with."""
    def calls():
        path = tmp_path / "shutdown.calls"
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text().splitlines()]
    return calls


def pending_deadline(calls_path):
    """The deadline of the shutdown the stand-in holds pending (seconds since
    the epoch), or None."""
    path = Path(str(calls_path) + ".pending")
    return float(path.read_text()) if path.exists() else None


@pytest.fixture
def host_deadline(tmp_path):
    """Returns the pending host shutdown deadline of the test's stand-in."""
    return lambda: pending_deadline(tmp_path / "shutdown.calls")


OTHER_HOST = "10.77.0.2"   # a second address of the test's namespace, on a veth pair
OTHER_LOCAL = "10.77.0.1"  # its other end


@pytest.fixture
def other_host():
    """A non-loopback peer address inside the test's own network namespace:
    a veth pair whose two ends are both here, so a client bound to
    OTHER_HOST reaches the daemon as a remote host would, and nothing leaves
    the namespace. Skipped where the test has no namespace of its own."""
    if os.geteuid() != 0 or not PRIVATE_NETWORK[0]:
        pytest.skip("needs a network namespace of its own")
    def ip(*args):
        subprocess.run(["ip"] + list(args), check=True, capture_output=True)
    ip("link", "add", "upsv0", "type", "veth", "peer", "name", "upsv1")
    ip("addr", "add", OTHER_LOCAL + "/24", "dev", "upsv0")
    ip("addr", "add", OTHER_HOST + "/24", "dev", "upsv1")
    ip("link", "set", "upsv0", "up")
    ip("link", "set", "upsv1", "up")
    yield OTHER_HOST
    subprocess.run(["ip", "link", "del", "upsv0"], capture_output=True)


@pytest.fixture
def make_sim(procs, tmp_path):
    count = [0]

    def make(units=1, ups_type="online"):
        count[0] += 1
        return Sim(procs, tmp_path / ("sim%d" % count[0]), units, ups_type)
    return make


@pytest.fixture
def make_snmp_card(procs, tmp_path):
    """Makes SnmpCards (make_snmp_card(community="ngroup", ups_type="online")),
    each in a directory of its own; all are stopped at teardown."""
    cards = []

    def make(community="ngroup", ups_type="online"):
        card = SnmpCard(procs, tmp_path / ("card%d" % (len(cards) + 1)), community, ups_type)
        cards.append(card)
        return card
    yield make
    for card in cards:
        card.stop()


@pytest.fixture
def snmp_card(make_snmp_card):
    return make_snmp_card()


@pytest.fixture
def make_agent(procs, tmp_path, standin_env):
    agents = []

    def make(name="prog"):
        agent = Agent(procs, tmp_path / name, standin_env)
        agents.append(agent)
        return agent
    yield make
    for agent in agents:
        agent.stop()
    reports = [a.sanitizer_report() for a in agents]
    reports = [r for r in reports if r]
    if reports:
        pytest.fail("sanitizer report from upsagent:\n" + reports[0][:4000])


@pytest.fixture
def make_console(standin_env):
    """Makes a Console in a program directory (an agent's, to share its
    files); every console is stopped and checked for sanitizer reports."""
    consoles = []

    def make(progdir, size=(80, 24)):
        console = Console(progdir, standin_env, size)
        consoles.append(console)
        return console
    yield make
    for console in consoles:
        console.stop()
    reports = [c.sanitizer_report() for c in consoles]
    reports = [r for r in reports if r]
    if reports:
        pytest.fail("sanitizer report from upsconsole:\n" + reports[0][:4000])


@pytest.fixture
def make_wire():
    """Makes Wires (make_wire(port=2027, udp=False)); all are closed at
    teardown."""
    wires = []

    def make(port=PORT, udp=False):
        wires.append(Wire(port, udp))
        return wires[-1]
    yield make
    for wire in wires:
        wire.close()


@pytest.fixture
def sim(make_sim):
    return make_sim()


@pytest.fixture
def agent(make_agent):
    return make_agent()
