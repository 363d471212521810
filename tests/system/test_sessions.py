"""Sessions on ports 3493 and 2027 that should end: a user removed from
Set/Users.ang, a peer that trickles bytes without a whole request, and
wrong passwords that must not lock out another session's right one."""
import os
import socket
import time

import pytest

from conftest import Client, closed_by_peer, connect, server_caught_up, wait_for

# Made with "openssl passwd -6 -salt saltsalt secret1" and
# "openssl passwd -5 -salt pepper watch2".
ADMIN = ("admin $6$saltsalt$jCP90RmSIIja2o9FRs25ASQaR1lMN6uKHmNcHaoNCpAXgV3n5NfAlQdZQcvMVQO1BT"
         "COFF0LzoHFZBt9E45NW0 instcmd,monitor-primary\n")
WATCH = "watch $5$pepper$dIK6Qu/CFCKUyCqLTTGJMzc1rZcHXCZbZiwqySs4i73 monitor-secondary\n"


def start(sim, agent):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    users = agent.dir / "Set" / "Users.ang"
    users.write_text(ADMIN + WATCH)
    os.chmod(users, 0o600)
    agent.start()
    client = connect()
    wait_for(lambda: client.record(1)[46:47] == b"1", 20, what="the unit's status taken")
    client.close()
    return users


class Session:
    """One connection to port 3493, a request and its reply line at a time."""

    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", 3493), timeout=5)
        self.got = b""

    def ask(self, line):
        self.sock.sendall(line.encode() + b"\n")
        return self.ask_more()

    def ask_list(self, line):
        """The lines of a LIST reply between its BEGIN and END lines."""
        first = self.ask(line)
        assert first.startswith("BEGIN LIST"), first
        lines = []
        while not (lines and lines[-1].startswith("END LIST")):
            lines.append(self.ask_more())
        return lines[:-1]

    def ask_more(self):
        """The next reply line."""
        while b"\n" not in self.got:
            chunk = self.sock.recv(4096)
            assert chunk, "closed"
            self.got += chunk
        reply, self.got = self.got.split(b"\n", 1)
        return reply.decode()

    def login(self, user, password):
        assert self.ask("USERNAME " + user) == "OK"
        assert self.ask("PASSWORD " + password) == "OK"
        return self.ask("LOGIN ups1")

    def close(self):
        self.sock.close()


def test_a_removed_users_open_session_is_refused_after_a_reload(sim, agent):
    users = start(sim, agent)
    admin, watch = Session(), Session()
    assert admin.login("admin", "secret1") == "OK"
    assert watch.login("watch", "watch2") == "OK"
    assert admin.ask("GET NUMLOGINS ups1") == "NUMLOGINS ups1 2"
    assert len(watch.ask_list("LIST CLIENT ups1")) == 2
    t = time.time()
    assert admin.ask("INSTCMD ups1 test.battery.start.quick") == "OK"
    wait_for(lambda: b"T\r" in sim.requests(t), 10, what="the test at the UPS")

    users.write_text(WATCH)
    local = Client()  # root on loopback: its reloads are taken
    local.send(b"RefreshSet")
    server_caught_up()
    t = time.time()
    assert admin.ask("INSTCMD ups1 shutdown.stop") == "ERR ACCESS-DENIED"
    assert admin.ask("FSD ups1") == "ERR ACCESS-DENIED"
    assert admin.ask("GET NUMLOGINS ups1") == "NUMLOGINS ups1 1"
    assert watch.ask_list("LIST CLIENT ups1") == ["CLIENT ups1 127.0.0.1"], "watch alone"
    # Two polls after the refusal nothing of it has reached the UPS.
    sim.wait_requests(2)
    assert not any(r.startswith((b"C", b"S")) for r in sim.requests(t)), sim.requests(t)
    assert watch.ask("GET VAR ups1 ups.status") == 'VAR ups1 ups.status "OL"'
    assert any('login of user "admin" from 127.0.0.1 ended' in l
               for l in agent.stdout().splitlines()), agent.stdout()
    for s in (admin, watch):
        s.close()
    local.close()


@pytest.mark.slow(65)
def test_a_trickling_session_is_closed_while_one_with_requests_stays(sim, agent):
    start(sim, agent)
    mgmt_trickle = socket.create_connection(("127.0.0.1", 3493), timeout=5)
    records_trickle = Client()
    mgmt_busy = Session()
    records_busy = Client()
    opened = time.monotonic()
    closed = {}
    # A byte every few seconds to each trickler (never a newline on 3493, no
    # command on 2027), a whole request to each of the others, until both
    # tricklers are closed; waiting on their ends paces the loop.
    while len(closed) < 2:
        assert time.monotonic() - opened < 90, "the trickling sessions were never closed"
        for name, sock in (("mgmt", mgmt_trickle), ("records", records_trickle.sock)):
            if name in closed:
                continue
            try:
                sock.sendall(b"V" if name == "mgmt" else b"A")
            except OSError:
                closed[name] = time.monotonic() - opened
                continue
            if closed_by_peer(sock, 2.5):
                closed[name] = time.monotonic() - opened
        assert mgmt_busy.ask("VER").startswith("upsagent")
        assert len(records_busy.record(1)) == 108
    for name, after in closed.items():
        assert 55 <= after <= 75, (name, after)
    assert mgmt_busy.ask("NETVER") == "1.3", "a session with whole requests stays"
    assert len(records_busy.record(1)) == 108
    mgmt_busy.close()
    records_busy.close()
    mgmt_trickle.close()
    records_trickle.close()


def test_wrong_passwords_do_not_lock_out_a_right_one_from_another_session(sim, agent):
    start(sim, agent)
    flood = Session()
    assert flood.login("admin", "wrong") == "ERR ACCESS-DENIED"
    right = Session()
    for _ in range(50):
        assert flood.ask("LOGIN ups1") == "ERR ACCESS-DENIED"
    # A few more sessions of wrong passwords from this host, each straight
    # before a right one from yet another session.
    for i in range(5):
        wrong = Session()
        assert wrong.login("admin", "guess%d" % i) == "ERR ACCESS-DENIED"
        good = Session()
        assert good.login("watch", "watch2") == "OK", i
        good.close()
        wrong.close()
    assert right.login("admin", "secret1") == "OK"
    assert right.ask("PRIMARY ups1") == "OK PRIMARY-GRANTED"
    assert flood.ask("PRIMARY ups1") == "ERR ACCESS-DENIED"
    lines = [l for l in agent.stdout().splitlines() if "wrong password" in l]
    assert len(lines) == 1, lines
    flood.close()
    right.close()
