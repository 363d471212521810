"""The sender programs `mail` and `sms`, run as the daemon runs them: the
real built programs, copied into a fresh program directory per test, talking
to test servers on 127.0.0.1."""
import email.utils
import os
import re
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import time
from datetime import datetime, timezone
from pathlib import Path

import pytest

from servers import make_certificate, start_smtp, start_smtps

REPO = Path(__file__).resolve().parents[2]
BIN = Path(os.environ.get("UPS_BIN_DIR", REPO / "build" / "bin"))

STAMP = "2026/12/07 10:00:05"
MAIL_SUBJECT = "Subject:From SoftWare Reply Question-"

DEFAULT_GATEWAYS = [
    "https://sms1.example.com/api/send?user={id}&password={password}&to={phone}"
    "&text={text}&time={time}",
    "POST https://sms2.example.com/http/sendmsg?user={id}&password={password}"
    "&api_id={api_id}&to={phone}&text={text}",
]

PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                   "ALL_PROXY")


def sender_env():
    """The environment without proxies: test traffic stays on 127.0.0.1."""
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
    env["no_proxy"] = env["NO_PROXY"] = "127.0.0.1"
    return env


@pytest.fixture
def progdir(tmp_path):
    """A fresh program directory holding copies of both senders, and beside
    it the empty directory "cwd" they run in, so that a sender looking for
    its files in the working directory finds nothing (and writes nothing
    into the repository)."""
    d = tmp_path / "prog"
    d.mkdir()
    (tmp_path / "cwd").mkdir()
    for name in ("mail", "sms"):
        shutil.copy2(BIN / name, d / name)
    return d


def scratch_cwd(program):
    return str(Path(program).parent.parent / "cwd")


def run(program, args, timeout=20, **kw):
    kw.setdefault("cwd", scratch_cwd(program))
    kw.setdefault("env", sender_env())
    return subprocess.run([str(program)] + list(args), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=timeout, **kw)


def assert_one_line(stderr, program):
    assert stderr.endswith("\n") and stderr.count("\n") == 1, repr(stderr)
    assert stderr.startswith(program + ": "), repr(stderr)


def closed_port():
    """A port on 127.0.0.1 nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# --- mail ----------------------------------------------------------------------

def mail_args(server, sender="ups@example.com", receiver="admin@example.com",
              event=" Machine2 AC Failed"):
    return [server, "MAIL FROM:<%s>" % sender, "RCPT TO:<%s>" % receiver, STAMP, MAIL_SUBJECT,
            event]


def smtp_address(smtp):
    return "%s:%d" % (smtp.host, smtp.port)


class TestMailDelivery:
    def test_message_carries_envelope_headers_and_body(self, progdir, smtp_server):
        proc = subprocess.Popen([str(progdir / "mail")] + mail_args(smtp_address(smtp_server)),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=sender_env(),
                                cwd=scratch_cwd(progdir / "mail"))
        out, err = proc.communicate(timeout=20)
        assert proc.returncode == 0, err
        assert out == "" and err == ""
        [msg] = smtp_server.wait(1)
        assert msg.mail_from == "ups@example.com"
        assert msg.rcpt_tos == ["admin@example.com"]
        assert msg["Subject"] == "From SoftWare Reply Question- Machine2 AC Failed"
        assert msg["From"].addresses[0].addr_spec == "ups@example.com"
        assert msg["To"].addresses[0].addr_spec == "admin@example.com"
        date = email.utils.parsedate_to_datetime(str(msg["Date"]))
        assert date.tzinfo is not None
        assert abs((datetime.now(timezone.utc) - date).total_seconds()) < 120
        message_id = str(msg["Message-ID"])
        assert re.fullmatch(r"<[^<>@\s]+@[^<>@\s]+>", message_id), message_id
        assert ".%d." % proc.pid in message_id, "the Message-ID names the process"
        assert msg["MIME-Version"] == "1.0"
        assert msg.message.get_content_type() == "text/plain"
        assert msg.message.get_content_charset() == "us-ascii"
        lines = msg.body.splitlines()
        assert "Time: " + STAMP in lines
        assert "Event: Machine2 AC Failed" in lines

    def test_lines_end_in_crlf(self, progdir, smtp_server):
        result = run(progdir / "mail", mail_args(smtp_address(smtp_server)))
        assert result.returncode == 0, result.stderr
        [msg] = smtp_server.wait(1)
        assert b"\r\n" in msg.raw
        assert re.search(rb"(?<!\r)\n", msg.raw) is None, msg.raw

    def test_message_ids_differ_between_messages(self, progdir, smtp_server):
        for _ in range(2):
            result = run(progdir / "mail", mail_args(smtp_address(smtp_server)))
            assert result.returncode == 0, result.stderr
        first, second = smtp_server.wait(2)
        assert first["Message-ID"] != second["Message-ID"]

    def test_event_text_with_a_leading_dot_line_survives(self, progdir, smtp_server):
        # The event starts a body line; libcurl must dot-stuff it.
        result = run(progdir / "mail", mail_args(smtp_address(smtp_server), event="."))
        assert result.returncode == 0, result.stderr
        [msg] = smtp_server.wait(1)
        assert "Event: ." in msg.body.splitlines()


class TestMailServerArgument:
    def test_host_without_port_means_port_25(self, progdir):
        with socket.socket() as probe:
            probe.settimeout(1)
            if probe.connect_ex(("127.0.0.1", 25)) == 0:
                pytest.skip("something listens on 127.0.0.1:25; not sending to it")
        result = run(progdir / "mail", mail_args("127.0.0.1"))
        assert result.returncode == 1
        assert_one_line(result.stderr, "mail")
        assert "port 25" in result.stderr

    @pytest.mark.parametrize("server", ["", ":25", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                                        "127.0.0.1:2x5", "user@127.0.0.1", "127.0.0.1/x"])
    def test_bad_server_is_a_usage_error(self, progdir, server):
        result = run(progdir / "mail", mail_args(server))
        assert result.returncode == 2
        assert_one_line(result.stderr, "mail")

    def test_server_down_gives_one_line_and_exit_1(self, progdir):
        result = run(progdir / "mail", mail_args("127.0.0.1:%d" % closed_port()))
        assert result.returncode == 1
        assert_one_line(result.stderr, "mail")

    @pytest.mark.slow(32)
    def test_silent_server_is_given_up_after_30_seconds(self, progdir, smtp_server):
        # Silent only once the message is sent: the connection phase's
        # shorter limit is long over, the 30 s in all must end it.
        smtp_server.delay = 60
        start = time.monotonic()
        result = run(progdir / "mail", mail_args(smtp_address(smtp_server)), timeout=45)
        elapsed = time.monotonic() - start
        assert result.returncode == 1
        assert_one_line(result.stderr, "mail")
        assert 25 < elapsed < 40, elapsed

    def test_server_that_never_greets_is_given_up(self, progdir):
        with socket.socket() as listener:  # accepts, never says a word
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            start = time.monotonic()
            result = run(progdir / "mail", mail_args("127.0.0.1:%d" % listener.getsockname()[1]),
                         timeout=45)
            elapsed = time.monotonic() - start
        assert result.returncode == 1
        assert_one_line(result.stderr, "mail")
        assert elapsed < 35, elapsed


class TestMailStartTls:
    def test_offered_starttls_is_used_and_the_certificate_checked(self, progdir, tmp_path):
        openssl = shutil.which("openssl")
        if openssl is None:
            pytest.skip("openssl is needed to make a test certificate")
        cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
        subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", str(key), "-out", str(cert)],
                       check=True, capture_output=True, timeout=60)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(str(cert), str(key))
        server = start_smtp(tls_context=context)
        try:
            result = run(progdir / "mail", mail_args(smtp_address(server)))
            # The self-signed certificate is not trusted: nothing goes out in
            # the clear instead.
            assert result.returncode == 1
            assert_one_line(result.stderr, "mail")
            assert "certificate" in result.stderr.lower()
            assert server.messages == []
        finally:
            server.stop()


def write_mail_file(progdir, *extra):
    (progdir / "Set").mkdir(mode=0o700, exist_ok=True)
    (progdir / "Set" / "Mail.ang").write_text(
        "mx\nups@x\na@x\n000000000\n" + "".join("%s\n" % line for line in extra))


class TestMailLogin:
    def test_login_with_the_right_password_delivers_and_a_wrong_one_not(self, progdir):
        server = start_smtp(logins={"ups": "s3cret"})
        try:
            # This server offers no STARTTLS: the login goes out in clear
            # only because the file says so.
            write_mail_file(progdir, "ups", "wrong", "tls=off")
            result = run(progdir / "mail", mail_args(smtp_address(server)))
            assert result.returncode == 1
            assert_one_line(result.stderr, "mail")
            write_mail_file(progdir)
            assert run(progdir / "mail", mail_args(smtp_address(server))).returncode == 1, \
                "no login where one is required"
            assert server.messages == []
            write_mail_file(progdir, "ups", "s3cret", "tls=off")
            result = run(progdir / "mail", mail_args(smtp_address(server)))
            assert result.returncode == 0, result.stderr
            assert len(server.wait(1)) == 1
            ps = subprocess.run(["ps", "-eo", "args"], capture_output=True, text=True).stdout
            assert "s3cret" not in ps
        finally:
            server.stop()

    @pytest.mark.parametrize("rule,sent", [("", False), ("starttls=required", False),
                                           ("starttls", False), ("tls=off", True)])
    def test_a_login_goes_out_in_clear_only_with_tls_off(self, progdir, rule, sent):
        # A server that offers no STARTTLS but takes AUTH in clear.
        server = start_smtp(logins={"ups": "s3cret"})
        try:
            write_mail_file(progdir, "ups", "s3cret", rule)
            result = run(progdir / "mail", mail_args(smtp_address(server)))
            if sent:
                assert result.returncode == 0, result.stderr
                assert len(server.wait(1)) == 1
                assert server.auths == ["ups"]
            else:
                assert result.returncode == 1
                assert_one_line(result.stderr, "mail")
                assert "offers no STARTTLS" in result.stderr
                assert "tls=off" in result.stderr, "the line says how to allow it"
                assert server.auths == [] and server.messages == []
        finally:
            server.stop()

    def test_a_login_goes_over_starttls_when_offered(self, progdir, tmp_path):
        cert, key = make_certificate(tmp_path)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(str(cert), str(key))
        server = start_smtp(tls_context=context, logins={"ups": "s3cret"})
        try:
            write_mail_file(progdir, "ups", "s3cret", "", str(cert))
            result = run(progdir / "mail", mail_args(smtp_address(server)))
            assert result.returncode == 0, result.stderr
            assert len(server.wait(1)) == 1
            assert server.auths == ["ups"]
        finally:
            server.stop()

    def test_starttls_required_sends_nothing_in_clear(self, progdir, smtp_server):
        write_mail_file(progdir, "", "", "starttls=required", "")
        result = run(progdir / "mail", mail_args(smtp_address(smtp_server)))
        assert result.returncode == 1
        assert_one_line(result.stderr, "mail")
        assert smtp_server.messages == []

    def test_implicit_tls_with_a_private_ca(self, progdir, tmp_path):
        cert, key = make_certificate(tmp_path)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(str(cert), str(key))
        server = start_smtps(context)
        try:
            write_mail_file(progdir, "", "", "", str(cert))
            result = run(progdir / "mail", mail_args("smtps://%s" % smtp_address(server)))
            assert result.returncode == 0, result.stderr
            assert len(server.wait(1)) == 1
        finally:
            server.stop()



class TestMailRefusals:
    @pytest.mark.parametrize("count", [0, 5, 7])
    def test_wrong_argument_count_is_exit_2(self, progdir, smtp_server, count):
        args = (mail_args(smtp_address(smtp_server)) + ["extra"])[:count]
        result = run(progdir / "mail", args)
        assert result.returncode == 2
        assert_one_line(result.stderr, "mail")
        assert "usage" in result.stderr
        assert smtp_server.messages == []

    @pytest.mark.parametrize("index,value", [
        (1, "FROM:<ups@example.com>"),
        (2, "TO:<admin@example.com>"),
        (4, "From SoftWare Reply Question-"),
    ])
    def test_missing_prefix_is_exit_2(self, progdir, smtp_server, index, value):
        args = mail_args(smtp_address(smtp_server))
        args[index] = value
        result = run(progdir / "mail", args)
        assert result.returncode == 2
        assert_one_line(result.stderr, "mail")
        assert smtp_server.messages == []

    @pytest.mark.parametrize("index,value", [
        (2, "RCPT TO:<admin@example.com>\nRCPT TO:<evil@example.com>"),
        (2, "RCPT TO:<admin@example.com>\r\nBcc: evil@example.com"),
        (1, "MAIL FROM:<ups@example.com>\r\nRCPT TO:<evil@example.com>"),
        (3, STAMP + "\r\nBcc: evil@example.com"),
        (5, " Machine2 AC Failed\r\nBcc: evil@example.com"),
        (5, " Machine2 AC Failed\n\nforged body"),
    ])
    def test_line_break_in_an_argument_is_refused(self, progdir, smtp_server, index, value):
        args = mail_args(smtp_address(smtp_server))
        args[index] = value
        result = run(progdir / "mail", args)
        assert result.returncode == 2
        assert_one_line(result.stderr, "mail")
        assert smtp_server.messages == []

    @pytest.mark.parametrize("index,value", [
        (1, "MAIL FROM:"), (1, "MAIL FROM:<>"), (2, "RCPT TO:"), (2, "RCPT TO:  <>  "),
    ])
    def test_empty_address_is_refused(self, progdir, smtp_server, index, value):
        args = mail_args(smtp_address(smtp_server))
        args[index] = value
        result = run(progdir / "mail", args)
        assert result.returncode == 2
        assert_one_line(result.stderr, "mail")
        assert smtp_server.messages == []

    def test_shell_text_in_arguments_runs_nothing(self, progdir, smtp_server, tmp_path):
        marker = tmp_path / "ran"
        receiver = '"; touch %s; "' % marker
        event = " $(touch %s) `touch %s`" % (marker, marker)
        result = run(progdir / "mail", mail_args(smtp_address(smtp_server), receiver=receiver,
                                                 event=event))
        # The sender has ended; a shell it left behind would touch the file
        # at once: a short while for one to show, as nothing else can.
        time.sleep(0.2)
        assert not marker.exists()
        # Whatever the server made of the odd address, it was only ever text.
        if result.returncode == 0:
            [msg] = smtp_server.wait(1)
            assert msg.rcpt_tos == [receiver]
            assert msg["Subject"] == "From SoftWare Reply Question-" + event
        else:
            assert result.returncode == 1
            assert_one_line(result.stderr, "mail")
            assert smtp_server.messages == []


# --- sms -----------------------------------------------------------------------

SMS_ARGS = {
    "id": "acct one",
    "password": "p@ss&w=rd+%",
    "phone": "+49 170 1234567",
    "api_id": "api 7",
    "time": STAMP,
    "text": " Machine1 AC Failed & more",
}

ENCODED = {
    "id": "acct%20one",
    "password": "p%40ss%26w%3Drd%2B%25",
    "phone": "%2B49%20170%201234567",
    "api_id": "api%207",
    "time": "2026%2F12%2F07%2010%3A00%3A05",
    "text": "Machine1%20AC%20Failed%20%26%20more",  # the argument's leading blank is not sent
}
SENT_TEXT = SMS_ARGS["text"][1:]


def sms_args(gateway, **override):
    """The six arguments; the password is not one of them (see write_gateways)."""
    a = dict(SMS_ARGS, **override)
    return [gateway, a["id"], a["phone"], a["api_id"], a["time"], a["text"]]


def write_sms_file(progdir, password):
    """"Set/SMS.ang" as the daemon's store writes it: the sender takes its
    password from line 4."""
    setdir = progdir / "Set"
    setdir.mkdir(mode=0o700, exist_ok=True)
    path = setdir / "SMS.ang"
    path.write_text("0\nacct\n\n%s\n0911\n000000000\n" % password)
    path.chmod(0o600)


def write_gateways(progdir, lines, end="\n", password=SMS_ARGS["password"]):
    setdir = progdir / "Set"
    setdir.mkdir(mode=0o700, exist_ok=True)
    (setdir / "SMSGateway.ang").write_bytes("".join(line + end for line in lines).encode())
    write_sms_file(progdir, password)


def get_template(gw, path="/api/send"):
    return (gw.url(path) + "?user={id}&password={password}&api_id={api_id}&to={phone}"
            "&text={text}&time={time}")


def post_template(gw, path="/http/sendmsg"):
    return ("POST " + gw.url(path) + "?user={id}&password={password}&api_id={api_id}"
            "&to={phone}&text={text}")


def expect_no_request(gw):
    # The sender has ended, and the stand-in takes a request before it
    # answers: a short while only for one the sender gave up waiting on.
    time.sleep(0.2)
    assert gw.requests == []


class TestSmsRequests:
    def test_gateway_1_gets_every_value_url_encoded(self, progdir, http_gateway):
        write_gateways(progdir, [get_template(http_gateway), post_template(http_gateway)])
        result = run(progdir / "sms", sms_args("1"))
        assert result.returncode == 0, result.stderr
        assert result.stdout == "" and result.stderr == ""
        [req] = http_gateway.wait(1)
        assert req.method == "GET"
        assert req.path.split("?")[0] == "/api/send"
        assert req.raw_query == ("user={id}&password={password}&api_id={api_id}&to={phone}"
                                 "&text={text}&time={time}").format(**ENCODED)
        assert req.query == {
            "user": [SMS_ARGS["id"]], "password": [SMS_ARGS["password"]],
            "api_id": [SMS_ARGS["api_id"]], "to": [SMS_ARGS["phone"]],
            "text": [SENT_TEXT], "time": [SMS_ARGS["time"]],
        }

    def test_gateway_2_posts_a_form_with_api_id(self, progdir, http_gateway):
        write_gateways(progdir, [get_template(http_gateway), post_template(http_gateway)])
        result = run(progdir / "sms", sms_args("2"))
        assert result.returncode == 0, result.stderr
        assert result.stdout == "" and result.stderr == ""
        [req] = http_gateway.wait(1)
        assert req.method == "POST"
        assert req.path == "/http/sendmsg"
        assert req.headers["Content-Type"] == "application/x-www-form-urlencoded"
        assert req.body.decode() == ("user={id}&password={password}&api_id={api_id}&to={phone}"
                                     "&text={text}").format(**ENCODED)
        assert req.form == {
            "user": [SMS_ARGS["id"]], "password": [SMS_ARGS["password"]],
            "api_id": [SMS_ARGS["api_id"]], "to": [SMS_ARGS["phone"]],
            "text": [SENT_TEXT],
        }

    def test_utf8_text_is_sent_byte_for_byte(self, progdir, http_gateway):
        write_gateways(progdir, [http_gateway.url("/s") + "?text={text}"])
        result = run(progdir / "sms", sms_args("1", text=" Netzausfall \u00e9t\u00e9"))
        assert result.returncode == 0, result.stderr
        [req] = http_gateway.wait(1)
        assert req.raw_query == "text=Netzausfall%20%C3%A9t%C3%A9"

    def test_hand_edited_file_with_crlf_line_ends(self, progdir, http_gateway):
        write_gateways(progdir, [get_template(http_gateway, "/one"),
                                 post_template(http_gateway, "/two")], end="\r\n")
        result = run(progdir / "sms", sms_args("2"))
        assert result.returncode == 0, result.stderr
        [req] = http_gateway.wait(1)
        assert req.path == "/two"
        assert req.form["text"] == [SENT_TEXT], "no CR carried into the last value"

    def test_started_through_path_reads_its_own_directory(self, progdir, http_gateway, tmp_path):
        write_gateways(progdir, [get_template(http_gateway)])
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        env = sender_env()
        env["PATH"] = "%s:%s" % (progdir, env.get("PATH", "/usr/bin:/bin"))
        result = subprocess.run(["sms"] + sms_args("1"), capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, timeout=20, env=env, cwd=str(elsewhere))
        assert result.returncode == 0, result.stderr
        http_gateway.wait(1)
        assert not (elsewhere / "Set").exists()


class TestSmsAnswers:
    @pytest.mark.parametrize("status", [200, 202])
    def test_2xx_is_success(self, progdir, http_gateway, status):
        http_gateway.status = status
        write_gateways(progdir, [get_template(http_gateway)])
        result = run(progdir / "sms", sms_args("1"))
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""

    @pytest.mark.parametrize("status", [302, 404, 500])
    def test_other_answer_is_one_line_and_exit_1(self, progdir, http_gateway, status):
        http_gateway.status = status
        write_gateways(progdir, [get_template(http_gateway)])
        result = run(progdir / "sms", sms_args("1"))
        assert result.returncode == 1
        assert_one_line(result.stderr, "sms")
        assert str(status) in result.stderr
        assert len(http_gateway.requests) == 1

    def test_gateway_down_is_one_line_and_exit_1(self, progdir):
        write_gateways(progdir, ["http://127.0.0.1:%d/s?to={phone}" % closed_port()])
        result = run(progdir / "sms", sms_args("1"))
        assert result.returncode == 1
        assert_one_line(result.stderr, "sms")

    @pytest.mark.slow(30)
    def test_silent_gateway_is_given_up_after_30_seconds(self, progdir, http_gateway):
        http_gateway.delay = 60
        write_gateways(progdir, [get_template(http_gateway)])
        start = time.monotonic()
        result = run(progdir / "sms", sms_args("1"), timeout=45)
        elapsed = time.monotonic() - start
        assert result.returncode == 1
        assert_one_line(result.stderr, "sms")
        assert 25 < elapsed < 40, elapsed


class TestSmsGatewayFile:
    def test_missing_file_is_written_with_the_defaults(self, progdir, tmp_path):
        # Gateway 3 does not exist: the file is written, nothing is sent.
        result = run(progdir / "sms", sms_args("3"))
        assert result.returncode == 3
        assert_one_line(result.stderr, "sms")
        path = progdir / "Set" / "SMSGateway.ang"
        assert stat.S_IMODE(path.stat().st_mode) == 0o600
        assert stat.S_IMODE((progdir / "Set").stat().st_mode) == 0o700
        assert path.read_text() == "".join(line + "\n" for line in DEFAULT_GATEWAYS)
        assert sorted(p.name for p in (progdir / "Set").iterdir()) == ["SMSGateway.ang"]
        assert list((tmp_path / "cwd").iterdir()) == [], "below the program, not the working dir"

    def test_existing_file_is_left_as_it_is(self, progdir, http_gateway):
        write_gateways(progdir, [get_template(http_gateway)])
        path = progdir / "Set" / "SMSGateway.ang"
        before = path.read_bytes()
        result = run(progdir / "sms", sms_args("1"))
        assert result.returncode == 0, result.stderr
        assert path.read_bytes() == before

    @pytest.mark.parametrize("gateway", ["0", "3"])
    def test_unknown_gateway_number_sends_nothing(self, progdir, http_gateway, gateway):
        write_gateways(progdir, [get_template(http_gateway), post_template(http_gateway)])
        result = run(progdir / "sms", sms_args(gateway))
        assert result.returncode == 3
        assert_one_line(result.stderr, "sms")
        expect_no_request(http_gateway)

    def test_missing_line_sends_nothing(self, progdir, http_gateway):
        write_gateways(progdir, [get_template(http_gateway)])
        result = run(progdir / "sms", sms_args("2"))
        assert result.returncode == 3
        assert_one_line(result.stderr, "sms")
        expect_no_request(http_gateway)

    @pytest.mark.parametrize("template", [
        "ftp://127.0.0.1:{port}/s?to={{phone}}",
        "http://127.0.0.1:{port}/s?to={{fone}}",
        "http://127.0.0.1:{port}/s?to={{phone",
        "POST http://127.0.0.1:{port}/s",
        "127.0.0.1:{port}/s?to={{phone}}",
    ])
    def test_bad_template_sends_nothing(self, progdir, http_gateway, template):
        write_gateways(progdir, [template.format(port=http_gateway.port)])
        result = run(progdir / "sms", sms_args("1"))
        assert result.returncode == 3
        assert_one_line(result.stderr, "sms")
        expect_no_request(http_gateway)

    def test_unwritable_program_directory_is_one_line(self, progdir, tmp_path):
        # "Set" taken by a plain file: neither readable nor creatable.
        (progdir / "Set").write_text("")
        result = run(progdir / "sms", sms_args("1"))
        assert result.returncode == 3
        assert_one_line(result.stderr, "sms")


class TestSmsArguments:
    @pytest.mark.parametrize("count", [0, 5, 7])
    def test_wrong_argument_count_is_exit_2(self, progdir, http_gateway, count):
        write_gateways(progdir, [get_template(http_gateway)])
        args = (sms_args("1") + ["extra"])[:count]
        result = run(progdir / "sms", args)
        assert result.returncode == 2
        assert_one_line(result.stderr, "sms")
        assert "usage" in result.stderr
        expect_no_request(http_gateway)

    @pytest.mark.parametrize("override", [{"gateway": ""}, {"gateway": "one"},
                                          {"gateway": "-1"}, {"phone": ""}])
    def test_bad_argument_is_exit_2(self, progdir, http_gateway, override):
        write_gateways(progdir, [get_template(http_gateway)])
        gateway = override.pop("gateway", "1")
        result = run(progdir / "sms", sms_args(gateway, **override))
        assert result.returncode == 2
        assert_one_line(result.stderr, "sms")
        expect_no_request(http_gateway)

    def test_password_comes_from_the_file_and_is_on_no_command_line(self, progdir, http_gateway,
                                                                    procs):
        http_gateway.delay = 5
        password = "S3cret-pw!"
        write_gateways(progdir, [get_template(http_gateway)], password=password)
        proc = procs.start([str(progdir / "sms")] + sms_args("1"),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=sender_env(),
                           cwd=scratch_cwd(progdir / "sms"))
        [req] = http_gateway.wait(1)  # held by the gateway: sms is still running
        assert proc.poll() is None
        cmdline = Path("/proc/%d/cmdline" % proc.pid).read_bytes()
        assert password.encode() not in cmdline
        assert cmdline.split(b"\0")[3] == SMS_ARGS["phone"].encode()
        assert req.query["password"] == [password], "the file's password was sent"
        procs.stop(proc, signal.SIGKILL)

    def test_missing_sms_file_sends_an_empty_password(self, progdir, http_gateway):
        write_gateways(progdir, [get_template(http_gateway)])
        (progdir / "Set" / "SMS.ang").unlink()
        result = run(progdir / "sms", sms_args("1"))
        assert result.returncode == 0, result.stderr
        [req] = http_gateway.wait(1)
        assert req.query["password"] == [""]
