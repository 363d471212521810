"""Port 2027's command rights on this host: who the client process runs as,
learnt from its socket. Root may command, another user only as a member of a
group Set/Clients.ang names, and a client that closed before the daemon
could ask (its socket no longer anyone's) never."""
import os
import signal
import socket
import subprocess
import time

from conftest import Client, connect, server_caught_up, wait_for

# A client as a user's shell tool would be: sends its bytes, shuts its side
# and waits for the daemon to close (so it is still there when asked).
CLIENT = """
import socket, sys
s = socket.create_connection(("127.0.0.1", 2027), timeout=10)
s.sendall(bytes.fromhex(sys.argv[1]))
s.shutdown(socket.SHUT_WR)
while s.recv(4096):
    pass
"""


def as_nobody(data):
    """Sends `data` to port 2027 from a process running as nobody (uid and
    gid 65534, no supplementary groups), in this test's network namespace."""
    subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                    "/usr/bin/python3", "-c", CLIENT, data.hex()],
                   check=True, timeout=30, cwd="/")


def start(sim, agent):
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    client = connect()
    wait_for(lambda: client.record(1)[46:47] == b"1", 20, what="the unit's status taken")
    return client


def test_nobody_is_refused_root_and_the_group_are_taken(sim, agent, shutdown_calls):
    local = start(sim, agent)
    t = time.time()
    as_nobody(b"S01R0001\r")
    as_nobody(b"T\r")
    as_nobody(b"RefreshPlan")
    server_caught_up()
    refused = wait_for(lambda: [l for l in agent.stdout().splitlines()
                                if "refused" in l and "uid 65534" in l], 5,
                       what="the refusal of nobody's commands")
    assert len(refused) == 1 and "from 127.0.0.1" in refused[0], refused
    assert "not root" in refused[0], refused
    # Whatever was queued would go out at the unit's next sends.
    sim.wait_requests(3)
    assert not [r for r in sim.requests(t) if r[:1] in b"STC"], "nothing of nobody's at the UPS"
    assert not shutdown_calls(), "no planned shutdown"

    local.send(b"T\r")  # the console as root
    wait_for(lambda: b"T\r" in sim.requests(t), 10, what="root's T at the UPS")

    # The group line, reread on root's RefreshSet: nobody's primary group
    # is nogroup.
    (agent.dir / "Set" / "Clients.ang").write_text("# test\ngroup nogroup\n")
    local.send(b"RefreshSet")
    server_caught_up()
    t_group = time.time()

    def taken():
        # A T within a second of root's is dropped: send again until one is in.
        as_nobody(b"CT\r")
        return b"CT\r" in sim.requests(t_group)
    wait_for(taken, 20, interval=1.0, what="the group member's CT at the UPS")
    local.close()


def test_a_client_gone_before_it_is_asked_is_refused(sim, agent):
    """A client that writes and closes at once, as bash's
    printf ... > /dev/tcp/... does: when the daemon reads the command the
    socket belongs to no one any more (it reads uid 0 then), so the command
    is refused, never taken as root's. The daemon is held stopped while the
    client comes and goes, so it reads only afterwards."""
    start(sim, agent).close()
    t = time.time()
    os.kill(agent.proc.pid, signal.SIGSTOP)
    try:
        s = socket.create_connection(("127.0.0.1", 2027), timeout=5)
        s.sendall(b"T\r")
        s.close()
    finally:
        os.kill(agent.proc.pid, signal.SIGCONT)
    wait_for(lambda: "closed before it could be identified" in agent.stdout(), 10,
             what="the refusal of the vanished client's command")
    sim.wait_requests(3)
    assert b"T\r" not in sim.requests(t)
    # The same bytes from a client that waits for the daemon are taken.
    c = Client()
    c.send(b"T\r")
    c.close()
    wait_for(lambda: b"T\r" in sim.requests(t), 10, what="the T of a client that waited")
