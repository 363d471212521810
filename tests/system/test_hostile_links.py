"""Hostile peers on every link: a unit whose identity holds a quote and a
line end (serial, USB, network card, another daemon's record), a peer on
port 2027 that streams bytes without end, and answers forged to the card
from other addresses. Each is data to the daemon: served quoted, counted as
a failing link, or dropped."""
import os
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

from conftest import FakeUsb, Wire, stays, wait_for

HOSTILE = "ACME\\x22\\x0aFSD ups1"  # the control line's form of ACME"<LF>FSD ups1


def mgmt_reply(request, host="127.0.0.1"):
    """The whole raw reply to one request on port 3493, as bytes: one line,
    or for a LIST the lines up to its END line."""
    def whole(got):
        if not got.endswith(b"\n"):
            return False
        return not request.startswith("LIST") or got.startswith(b"ERR") or b"\nEND " in got
    with socket.create_connection((host, 3493), timeout=5) as s:
        s.sendall(request.encode() + b"\n")
        got = b""
        while not whole(got):
            chunk = s.recv(4096)
            assert chunk, "closed"
            got += chunk
        return got


def listed(text):
    """True when LIST VAR ups1 holds `text` (False while the port is not
    yet open)."""
    try:
        return text in mgmt_reply("LIST VAR ups1")
    except OSError:
        return False


def mfr_known():
    return listed(b"device.mfr")


def check_served_quoted(shown='ACME"?FSD ups1'):
    """LIST VAR, GET VAR and upsc show the identity as one quoted value,
    `shown` as upsc gives it."""
    served = 'VAR ups1 device.mfr "%s"' % shown.replace('"', '\\"')
    wait_for(lambda: listed(b"ACME"), 20, what="the hostile identity")
    reply = mgmt_reply("LIST VAR ups1")
    assert all(0x20 <= b <= 0x7E or b == 0x0A for b in reply), reply
    lines = reply.decode().splitlines()
    assert lines[0] == "BEGIN LIST VAR ups1" and lines[-1] == "END LIST VAR ups1", lines
    assert all(l.startswith("VAR ups1 ") for l in lines[1:-1]), lines
    assert served in lines, lines
    assert mgmt_reply("GET VAR ups1 device.mfr").decode() == served + "\n"
    status = [l for l in lines if l.startswith("VAR ups1 ups.status ")]
    assert status and "FSD" not in status[0], status
    done = subprocess.run(["upsc", "ups1@127.0.0.1"], capture_output=True, text=True, timeout=20)
    assert done.returncode == 0, done.stderr
    assert "device.mfr: " + shown in done.stdout.splitlines(), done.stdout
    assert not [l for l in done.stdout.splitlines() if l.startswith("FSD")], done.stdout


def set_hostile_company(model):
    """`set company` with the hostile text, on the simulator's control FIFO
    (its log doubles the backslashes)."""
    wait_for(model.control_path.exists, 10, what="the control FIFO")
    line = "set company " + HOSTILE
    with open(model.control_path, "w") as f:
        f.write(line + "\n")
    wait_for(lambda: line.replace("\\", "\\\\") in model.log_text(), 5,
             what="the simulator to take %r" % line)


def relearn_identity(model):
    """The unit goes silent until lost and answers again: it is asked for
    its identity anew."""
    model.control("silent on")
    wait_for(lambda: not mfr_known(), 20, what="the unit lost")
    model.control("silent off")


def test_identity_through_the_serial_line(sim, agent):
    set_hostile_company(sim)
    agent.write_settings(link="RS232", device=sim.path)
    agent.start()
    check_served_quoted()


def test_identity_through_usb(agent, tmp_path):
    usb = FakeUsb(tmp_path / "usb", devices="0001:0000:u")
    usb.install(agent)
    agent.write_settings(link="USB")
    agent.start()
    wait_for(mfr_known, 20, what="the USB unit's identity")
    set_hostile_company(usb)
    relearn_identity(usb)
    check_served_quoted()


def test_identity_through_the_card(snmp_card, agent):
    set_hostile_company(snmp_card)
    assert snmp_card.get(snmp_card.SUBTREE + ".1.1.1.0") == 'STRING: "ACME\\"\nFSD ups1"', \
        "the card serves the bytes as they are"
    agent.write_settings(link="SNMP", device=snmp_card.address, community=snmp_card.community)
    agent.start()
    check_served_quoted('ACME" FSD ups1')  # the card's reading blanks such bytes first


def record(company=b"ACME"):
    """A daemon's 108-byte record of a unit on mains, with `company` (15
    bytes at most) as its maker."""
    text = (b"230.0 229.0 231.0 025 50.0 02.25 25.0 000000001 " + company.rjust(15) + b" " +
            b"M1".rjust(10) + b" " + b"1.0".rjust(10) + b" 230.0 004 048.00 50.0")
    assert len(text) == 107
    return text + b"\0"


class Peer:
    """Port 2027 of another daemon, as a test makes it: answers each request
    with `reply`, or, once `stream` is set, sends bytes without end (as fast
    as `yes` writes them, on the connection and every later one)."""

    def __init__(self, procs, reply):
        self.procs = procs
        self.reply = reply
        self.stream = threading.Event()
        self.stop = threading.Event()
        self.requests = 0
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 2027))
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except (socket.timeout, OSError):
                continue
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self.threads.append(t)
            t.start()

    def _serve(self, conn):
        conn.settimeout(0.2)
        with conn:
            while not self.stop.is_set():
                try:
                    if self.stream.is_set():
                        conn.setblocking(True)
                        self.procs.start(["yes", "ALL junk"], stdout=conn.fileno())
                        return
                    data = conn.recv(1024)
                    if not data:
                        return
                    if data.startswith(b"ALL"):
                        self.requests += 1
                        conn.sendall(self.reply)
                except socket.timeout:
                    continue
                except OSError:
                    return

    def close(self):
        self.stop.set()
        for t in self.threads:
            t.join(2)
        self.listener.close()


@pytest.fixture
def peer(procs):
    made = []

    def make(reply):
        made.append(Peer(procs, reply))
        return made[-1]
    yield make
    for p in made:
        p.close()


def remote_agent(agent):
    # Port 2027 is the test's peer: the daemon polls it without a server of its own.
    agent.write_settings(mode="Remote-Single", link="TCP/IP", device="127.0.0.1")
    return agent.start()


def test_identity_through_a_remote_record(peer, agent):
    peer(record(b'ACME"\nFSD ups1'))
    remote_agent(agent)
    check_served_quoted()


def cpu_seconds(pid):
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@pytest.mark.slow(15)
def test_a_peer_that_streams_bytes_loses_the_unit_and_not_the_loop(peer, agent):
    source = peer(record())
    remote_agent(agent)
    wait_for(lambda: "01 08 1 0" in [l[20:] for l in agent.events()], 20,
             what="the remote unit connected")
    source.stream.set()
    wait_for(lambda: "01 08 0 0" in [l[20:] for l in agent.events()], 20,
             what="the unit lost to a peer that streams bytes")
    before = cpu_seconds(agent.proc.pid)
    t0 = time.monotonic()
    # The loop goes on: port 3493 answers all along.
    stays(lambda: mgmt_reply("GET VAR ups1 ups.status") == b"ERR DATA-STALE\n",
          "port 3493 answering for a lost unit", seconds=4)
    used = cpu_seconds(agent.proc.pid) - before
    # A pass every 500 ms takes next to nothing (0.01 s here); a discard
    # that follows the stream takes a core.
    assert used < 0.1 * (time.monotonic() - t0), "the daemon spins: %.2f s of CPU" % used
    assert agent.alive()


@pytest.mark.slow(20)
def test_forged_card_answers_from_other_addresses_are_dropped(make_snmp_card, agent,
                                                              shutdown_calls):
    card = make_snmp_card()
    forger = make_snmp_card()  # answers as the card would, with the mains failed
    forger.control("mains fail")
    agent.write_settings(link="SNMP", device=card.address, community=card.community)
    agent.start()
    wait_for(lambda: "01 08 1 0" in [l[20:] for l in agent.events()], 20,
             what="the card's unit connected")
    forged = []

    def forge(sport, request):
        # The daemon's request, asked of the forger: its answer carries the
        # request's id. It goes to the daemon from the wrong address, and
        # from the card's address but another port.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as ask:
            ask.bind(("127.0.0.1", 0))
            ask.settimeout(2)
            ask.sendto(request, ("127.0.0.1", forger.port))
            try:
                answer = ask.recv(65535)
            except socket.timeout:
                return
        for source in ("127.0.0.2", "127.0.0.1"):
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as send:
                send.bind((source, 0))
                send.sendto(answer, ("127.0.0.1", sport))
            forged.append(source)

    tap = Wire(card.port, udp=True, on_datagram=forge)
    try:
        card.pause()
        wait_for(lambda: len(forged) >= 4, 20, what="forged answers sent")
        not_on_battery = lambda: "01 07 1 0" not in [l[20:] for l in agent.events()]  # noqa: E731
        lost = lambda: "01 08 0 0" in [l[20:] for l in agent.events()]  # noqa: E731
        # Until the silent card's unit is lost, and a few more forged answers.
        stays(lambda: not_on_battery() and
              mgmt_reply("GET VAR ups1 ups.status") in (b'VAR ups1 ups.status "OL"\n',
                                                         b"ERR DATA-STALE\n"),
              "no forged status taken", until=lambda: lost() and len(forged) >= 8, timeout=40)
    finally:
        tap.close()
    assert shutdown_calls() == []
    dropped = [l for l in agent.stdout().splitlines() if "not from the card at" in l]
    assert len(dropped) == 1 and card.address in dropped[0], dropped
    assert agent.alive()
