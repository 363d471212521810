"""Port 3493 with "Set/Network.ang": STARTTLS with a throwaway certificate,
spoken by python's ssl module and by Debian's `upsc` (nut-client, used only
as a client), and the extra listen addresses."""
import socket
import ssl
import subprocess

import pytest

from conftest import OTHER_LOCAL, ask, closed_by_peer, connect, wait_for
from servers import make_certificate

MGMT = 3493


def start(sim, agent, network=None):
    if network is not None:
        (agent.dir / "Set").mkdir(mode=0o700, exist_ok=True)
        (agent.dir / "Set" / "Network.ang").write_text(network)
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    client = connect()
    wait_for(lambda: client.record(1)[46:47] == b"1", 20, what="the unit's status taken")
    client.close()


def test_starttls_then_the_protocol_over_tls(sim, agent):
    (agent.dir / "Set").mkdir(mode=0o700, exist_ok=True)
    cert, key = make_certificate(agent.dir / "Set")
    start(sim, agent, "# TLS\ncertificate Set/cert.pem\nkey %s\n" % key)
    context = ssl.create_default_context(cafile=str(cert))
    context.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF  # an end without close_notify is an error
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as plain:
        assert ask(plain, b"STARTTLS\n") == b"OK STARTTLS\n"
        with context.wrap_socket(plain, server_hostname="127.0.0.1",
                                 suppress_ragged_eofs=False) as tls:
            assert tls.version() in ("TLSv1.2", "TLSv1.3")
            lines = ask(tls, b"LIST UPS\n", b"END LIST UPS\n").decode().splitlines()
            assert len(lines) == 3 and lines[1].startswith('UPS ups1 "'), lines
            assert ask(tls, b"GET VAR ups1 ups.status\n") == b'VAR ups1 ups.status "OL"\n'
            assert ask(tls, b"X" * 600 + b"\n") == b"ERR TOO-LONG\n"
            assert ask(tls, b"STARTTLS\n") == b"ERR ALREADY-SSL-MODE\n"
            assert ask(tls, b"LOGOUT\n") == b"OK Goodbye\n"
            assert tls.recv(1) == b"", "an orderly TLS end after LOGOUT"

    # Debian's upsc tries STARTTLS when offered (without checking the certificate).
    done = subprocess.run(["upsc", "ups1@127.0.0.1", "ups.status"], capture_output=True,
                          text=True, timeout=20)
    assert done.stdout == "OL\n" and "in SSL" in done.stderr, done.stderr

    # A handshake sent in the same write as the STARTTLS line is not lost.
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_hostname="127.0.0.1")
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as s:
        def pump(step):
            """step() on the TLS object, moving its bytes through the socket
            until it needs no more input."""
            while True:
                try:
                    result = step()
                except ssl.SSLWantReadError:
                    s.sendall(outgoing.read())
                    data = s.recv(4096)
                    assert data, "closed"
                    incoming.write(data)
                    continue
                s.sendall(outgoing.read())
                return result
        with pytest.raises(ssl.SSLWantReadError):
            tls.do_handshake()  # the ClientHello is in `outgoing` now
        s.sendall(b"STARTTLS\n" + outgoing.read())
        got = b""
        while b"\n" not in got:
            got += s.recv(4096)
        reply, rest = got.split(b"\n", 1)
        assert reply == b"OK STARTTLS"
        incoming.write(rest)
        pump(tls.do_handshake)
        tls.write(b"GET VAR ups1 device.type\n")
        assert pump(lambda: tls.read(4096)) == b'VAR ups1 device.type "ups"\n'


def test_a_failed_handshake_closes_only_its_own_session(sim, agent, tmp_path):
    cert, key = make_certificate(tmp_path)
    start(sim, agent, "certificate %s\nkey %s\n" % (cert, key))
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as other, \
            socket.create_connection(("127.0.0.1", MGMT), timeout=5) as bad:
        assert ask(bad, b"STARTTLS\n") == b"OK STARTTLS\n"
        bad.sendall(b"GET VAR ups1 ups.status\n" * 4)  # no ClientHello
        assert closed_by_peer(bad)
        assert ask(other, b"GET VAR ups1 ups.status\n") == b'VAR ups1 ups.status "OL"\n'
    context = ssl.create_default_context(cafile=str(cert))
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as plain:
        assert ask(plain, b"STARTTLS\n") == b"OK STARTTLS\n"
        with context.wrap_socket(plain, server_hostname="127.0.0.1") as tls:
            assert ask(tls, b"NETVER\n") == b"1.3\n"
    assert agent.alive()


def test_a_certificate_that_does_not_load_leaves_starttls_off(sim, agent, tmp_path):
    cert, key = make_certificate(tmp_path)
    (tmp_path / "other").mkdir()
    other_key = make_certificate(tmp_path / "other")[1]  # a key of another certificate
    start(sim, agent, "certificate %s\nkey %s\n" % (cert, other_key))
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as s:
        assert ask(s, b"STARTTLS\n") == b"ERR FEATURE-NOT-CONFIGURED\n"
        assert ask(s, b"NETVER\n") == b"1.3\n", "the session goes on in clear"
    lines = [l for l in agent.stdout().splitlines() if "STARTTLS" in l]
    assert len(lines) == 1 and str(other_key) in lines[0], lines


def test_listen_lines_add_addresses_after_a_restart(sim, agent, other_host):
    start(sim, agent)

    def from_other_host():
        return socket.create_connection((OTHER_LOCAL, MGMT), timeout=5,
                                        source_address=(other_host, 0))
    with pytest.raises(ConnectionRefusedError):
        from_other_host()
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as s:
        assert ask(s, b"STARTTLS\n") == b"ERR FEATURE-NOT-CONFIGURED\n", "no Network.ang"

    agent.stop()
    (agent.dir / "Set" / "Network.ang").write_text(
        "listen %s\nlisten 192.0.2.9\nlisten %s\n" % (OTHER_LOCAL, OTHER_LOCAL))
    start(sim, agent)
    with from_other_host() as s:
        assert ask(s, b"GET VAR ups1 ups.status\n") == b'VAR ups1 ups.status "OL"\n'
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as s:
        assert ask(s, b"NETVER\n") == b"1.3\n", "127.0.0.1 always"
    failed = [l for l in agent.stdout().splitlines() if "port 3493" in l]
    assert len(failed) == 1 and "192.0.2.9" in failed[0], failed


def test_handshakes_past_the_limit_are_closed_before_any_handshake(sim, agent):
    (agent.dir / "Set").mkdir(mode=0o700, exist_ok=True)
    cert, key = make_certificate(agent.dir / "Set")
    start(sim, agent, "certificate Set/cert.pem\nkey %s\n" % key)
    context = ssl.create_default_context(cafile=str(cert))
    # From addresses all over 127.0.0.0/8: one peer to the limit. 30 a
    # minute, the daemon's figure; this loop takes well under a minute.
    for i in range(30):
        with socket.create_connection(("127.0.0.1", MGMT), timeout=5,
                                      source_address=("127.0.0.%d" % (2 + i), 0)) as plain:
            assert ask(plain, b"STARTTLS\n") == b"OK STARTTLS\n"
            with context.wrap_socket(plain, server_hostname="127.0.0.1") as tls:
                assert ask(tls, b"NETVER\n") == b"1.3\n", i
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5,
                                  source_address=("127.9.9.9", 0)) as plain:
        assert ask(plain, b"STARTTLS\n") == b"OK STARTTLS\n"
        assert closed_by_peer(plain, 5), "closed without a handshake"
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as plain:
        assert ask(plain, b"NETVER\n") == b"1.3\n", "the clear protocol is not held up"
    lines = [l for l in agent.stdout().splitlines() if "handshakes a minute" in l]
    assert len(lines) == 1 and "127.9.9.9" in lines[0], lines
