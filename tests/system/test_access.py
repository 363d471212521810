"""Port 2027 against peers that are not loopback (a second address of the
test's own namespace, on a veth pair): who may command, what one peer may
hold, and clients that never read or never speak."""
import os
import socket
import subprocess
import time

import pytest

from conftest import BIN, REPO, STANDIN, Client, connect, server_caught_up, wait_for

ALL1 = b"ALL\x01\x00"


def start(sim, agent):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    client = connect()
    wait_for(lambda: client.record(1)[46:47] == b"1", 20, what="the unit's status taken")
    return client


def test_commands_from_other_hosts_need_a_command_line(sim, agent, other_host):
    local = start(sim, agent)
    clients = agent.dir / "Set" / "Clients.ang"
    assert clients.stat().st_mode & 0o777 == 0o600
    assert clients.read_text().startswith("#")

    remote = Client(source=other_host)
    assert len(remote.record(1)) == 108, "every host may read"
    t = time.time()
    for _ in range(3):
        # Each command read on its own before the next is sent.
        remote.send(b"T\r")
        server_caught_up()
        remote.send(b"RefreshSet")
        server_caught_up()
    # A T queued would go out at the unit's next send: two polls later it
    # has not.
    sim.wait_requests(2)
    assert b"T\r" not in sim.requests(t)
    lines = [l for l in agent.stdout().splitlines() if "refused" in l]
    assert len(lines) == 1 and other_host in lines[0], lines

    clients.write_text("# test\n10.77.0.0/24 read\n%s command\n" % other_host)
    local.send(b"RefreshSet")
    server_caught_up()  # the rules are reread on the server's loop
    t = time.time()
    remote.send(b"T\r")
    wait_for(lambda: b"T\r" in sim.requests(t), 10, what="the allowed T at the UPS")
    remote.close()
    local.close()


def test_one_address_cannot_lock_the_console_out(sim, agent, other_host):
    local = start(sim, agent)
    idle = []
    for _ in range(300):
        try:
            idle.append(Client(source=other_host, timeout=2))
        except OSError:
            pass
    # The server closes what is over the limit as it accepts: wait until it
    # has come down to the limit (it never goes below: the idle limit is a
    # minute away).
    wait_for(lambda: sum(1 for c in idle if alive(c)) <= 16, 10,
             what="the sessions over the limit closed")
    open_ones = [c for c in idle if alive(c)]
    assert len(open_ones) == 16, "one address holds at most 16 sessions"
    assert len(local.record(1)) == 108
    console = Client()
    assert len(console.record(1)) == 108, "a new local console still gets in"
    refusals = wait_for(lambda: [l for l in agent.stdout().splitlines() if "connection from" in l],
                        5, what="the refused connections reported")
    assert len(refusals) == 1, refusals
    # The idle limit itself (sixty seconds of silence end a session, asking
    # keeps one) is run on the daemon's clock seam, in agent_test.
    for c in idle + [console, local]:
        c.close()


def alive(client):
    """The server has not closed the connection."""
    client.sock.setblocking(False)
    try:
        return client.sock.recv(1) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        client.sock.setblocking(True)


def test_a_client_that_never_reads_stops_nobody(sim, agent):
    start(sim, agent).close()
    reader = Client()
    greedy = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    greedy.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    greedy.connect(("127.0.0.1", 2027))
    closed = False
    worst = 0.0
    for i in range(4000):
        try:
            greedy.send(ALL1)
        except OSError:
            closed = True
            break
        if i % 100 == 0:
            t0 = time.monotonic()
            assert len(reader.record(1)) == 108
            worst = max(worst, time.monotonic() - t0)
        time.sleep(0.001)
    assert closed, "the session that let its replies pile up is closed"
    assert worst < 1.0
    assert agent.alive()
    greedy.close()
    reader.close()


def test_demo_refuses_when_the_port_is_taken(tmp_path):
    """Without a namespace of its own the demo must not start next to a real
    daemon: its console would drive that daemon's UPS."""
    taken = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    taken.bind(("0.0.0.0", 2027))
    taken.listen(8)
    env = dict(os.environ, UPS_DEMO_NO_NAMESPACE="1", PATH="%s:%s" % (STANDIN, os.environ["PATH"]))
    build = BIN.parent.relative_to(REPO)
    done = subprocess.run([str(REPO / "scripts" / "demo.sh"), str(build)], env=env,
                          capture_output=True, timeout=30, stdin=subprocess.DEVNULL)
    taken.close()
    assert done.returncode == 1
    assert b"port 2027 is in use" in done.stderr
