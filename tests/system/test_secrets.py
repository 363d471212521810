"""Secrets stay secret: no password on the command line of any process while
the daemon's senders run, port 3493's users file refused when others may
open it or when a hash is weak, and Network.ang's tls-required on an address
other than loopback."""
import os
import shutil
import socket
import ssl
import threading
from pathlib import Path

from conftest import BIN, OTHER_LOCAL, ask, children_of, connect, wait_for
from servers import make_certificate, start_smtp

MGMT = 3493

# "openssl passwd -6 -salt saltsalt secret1"; "openssl passwd -1 -salt abc old3".
ADMIN = ("admin $6$saltsalt$jCP90RmSIIja2o9FRs25ASQaR1lMN6uKHmNcHaoNCpAXgV3n5NfAlQdZQcvMVQO1"
         "BTCOFF0LzoHFZBt9E45NW0 monitor-primary,instcmd\n")
OLD = "old $1$abc$ZM.BNzEGEDtrKPwj2qT4E1 monitor-secondary\n"


def flags(*positions):
    return "".join("1" if p in positions else "0" for p in range(9))


def start(sim, agent, users=None, mode=0o600, network=None):
    setdir = agent.dir / "Set"
    setdir.mkdir(mode=0o700, exist_ok=True)
    if users is not None:
        (setdir / "Users.ang").write_text(users)
        os.chmod(setdir / "Users.ang", mode)
    if network is not None:
        (setdir / "Network.ang").write_text(network)
    agent.write_settings(mode="Local-Single", link="RS232", device=sim.path)
    agent.start()
    client = connect()
    wait_for(lambda: client.record(1)[46:47] == b"1", 20, what="the unit's status taken")
    client.close()


def login(sock, name, password, unit=b"ups1"):
    """USERNAME, PASSWORD and LOGIN; the three replies."""
    return [ask(sock, b"USERNAME " + name + b"\n"), ask(sock, b"PASSWORD " + password + b"\n"),
            ask(sock, b"LOGIN " + unit + b"\n")]


OK3 = [b"OK\n", b"OK\n", b"OK\n"]


class CommandLineWatch:
    """Reads /proc/*/cmdline of every process, over and over, until stopped:
    which secrets it ever saw there, and how often a process of each of the
    `programs` was running when it looked."""

    def __init__(self, secrets, programs):
        self.secrets = [s.encode() for s in secrets]
        # By folder and name: the daemon may name its folder another way.
        self.programs = {"%s/%s" % (p.parent.name, p.name): 0 for p in programs}
        self.seen = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.done.is_set():
            for entry in os.scandir("/proc"):
                if not entry.name.isdigit():
                    continue
                try:
                    cmdline = Path(entry.path, "cmdline").read_bytes()
                except OSError:
                    continue  # ended meanwhile
                program = Path(cmdline.split(b"\0")[0].decode(errors="replace"))
                key = "%s/%s" % (program.parent.name, program.name)
                if key in self.programs:
                    self.programs[key] += 1
                for secret in self.secrets:
                    if secret in cmdline:
                        self.seen.append((entry.name, cmdline))

    def stop(self):
        self.done.set()
        self.thread.join(10)


def test_no_secret_on_any_command_line_while_the_senders_run(sim, agent, http_gateway,
                                                              tmp_path):
    """The daemon starts `mail` (with an SMTP login) and `sms` at its Connect
    event; both are held by their servers for a while, and every process's
    command line is read over and over meanwhile."""
    mail_secret, sms_secret = "Mail-s3cret-42", "Sms-s3cret-42"
    shutil.copy2(BIN / "mail", agent.dir / "mail")
    shutil.copy2(BIN / "sms", agent.dir / "sms")
    cert, key = make_certificate(tmp_path)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(str(cert), str(key))
    smtp = start_smtp(tls_context=context, logins={"ups": mail_secret})
    try:
        smtp.delay = 2  # the end of the message is answered late: mail runs on
        http_gateway.delay = 2
        setdir = agent.dir / "Set"
        setdir.mkdir(mode=0o700, exist_ok=True)
        (setdir / "Mail.ang").write_text(
            "127.0.0.1:%d\nups@host.test\na@x.test\n%s\nups\n%s\n\n%s\n"
            % (smtp.port, flags(8), mail_secret, cert))
        (setdir / "SMS.ang").write_text("0\nacct\n\n%s\n0911\n%s\n" % (sms_secret, flags(8)))
        (setdir / "SMSGateway.ang").write_text(
            "http://127.0.0.1:%d/send?user={id}&pw={password}&to={phone}&text={text}\n"
            % http_gateway.port)
        for name in ("Mail.ang", "SMS.ang"):
            os.chmod(setdir / name, 0o600)
        watch = CommandLineWatch([mail_secret, sms_secret],
                                 [agent.dir / "mail", agent.dir / "sms"])
        try:
            start(sim, agent)
            [req] = http_gateway.wait(1, 20)
            smtp.wait(1, 20)
            wait_for(lambda: children_of(agent.proc.pid) == [], 20, what="the senders to end")
        finally:
            watch.stop()
        assert watch.seen == [], watch.seen
        assert all(count > 0 for count in watch.programs.values()), \
            "each sender was seen running: %s" % watch.programs
        # The secrets did reach their servers, over TLS for the mail.
        assert req.query["pw"] == [sms_secret]
        assert smtp.auths == ["ups"]
    finally:
        smtp.stop()


def test_users_file_open_to_others_lets_nobody_in_until_chmod_600(sim, agent):
    start(sim, agent, users=ADMIN, mode=0o640)
    path = agent.dir / "Set" / "Users.ang"
    lines = [l for l in agent.stdout().splitlines() if "Users.ang" in l]
    assert len(lines) == 1 and "mode 0640" in lines[0] and "chmod 600" in lines[0], lines
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as s:
        assert login(s, b"admin", b"secret1") == [b"OK\n", b"OK\n", b"ERR ACCESS-DENIED\n"]

    os.chmod(path, 0o600)
    client = connect()
    client.send(b"RefreshSet")
    client.close()

    def logged_in():
        with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as s:
            return login(s, b"admin", b"secret1") == OK3
    # Tried more than a second apart: a refused login holds the next check
    # from its address back that long.
    wait_for(logged_in, 15, interval=1.2, what="the login after chmod 600 and RefreshSet")


def test_md5_crypt_hash_is_refused_with_a_line_saying_what_to_use(sim, agent):
    start(sim, agent, users=OLD + ADMIN)
    lines = [l for l in agent.stdout().splitlines() if "Users.ang line" in l]
    assert len(lines) == 1 and "line 1 " in lines[0], lines
    assert "MD5-crypt" in lines[0] and "openssl passwd -6" in lines[0] and \
        "yescrypt" in lines[0], lines
    # The right login first: a refused one holds the next check back a while.
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as s:
        assert login(s, b"admin", b"secret1") == OK3
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as s:
        assert login(s, b"old", b"old3") == [b"OK\n", b"OK\n", b"ERR ACCESS-DENIED\n"]


def test_tls_required_on_an_address_other_than_loopback(sim, agent, other_host, tmp_path):
    cert, key = make_certificate(tmp_path)
    start(sim, agent, users=ADMIN,
          network="listen %s\ncertificate %s\nkey %s\ntls-required\n" % (OTHER_LOCAL, cert, key))
    context = ssl.create_default_context(cafile=str(cert))
    context.check_hostname = False  # the certificate names 127.0.0.1

    def remote():
        return socket.create_connection((OTHER_LOCAL, MGMT), timeout=5,
                                        source_address=(other_host, 0))
    denied = b"ERR ACCESS-DENIED\n"
    with remote() as s:
        assert ask(s, b"GET VAR ups1 ups.status\n") == b'VAR ups1 ups.status "OL"\n', \
            "reads stay open"
        assert login(s, b"admin", b"secret1") == [denied] * 3
        assert ask(s, b"INSTCMD ups1 test.battery.start.quick\n") == denied
        assert ask(s, b"STARTTLS\n") == b"OK STARTTLS\n"
        with context.wrap_socket(s, server_hostname=OTHER_LOCAL) as tls:
            assert login(tls, b"admin", b"secret1") == OK3, "after STARTTLS as before"
            assert ask(tls, b"LOGOUT\n") == b"OK Goodbye\n"
    with socket.create_connection(("127.0.0.1", MGMT), timeout=5) as s:
        assert login(s, b"admin", b"secret1") == OK3, "loopback unchanged"
