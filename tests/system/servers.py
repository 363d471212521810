"""Servers the senders talk to in the system tests, all on 127.0.0.1 and a
port of their own:

  smtp_server   a real SMTP server that records every message delivered;
  http_gateway  an HTTP server standing in for an SMS gateway, recording
                every request and answering with a status the test chooses.

Both are stopped at teardown. `start_smtp` and `start_gateway` make more of
them (an SMTP server offering STARTTLS, for one); the caller stops them.
"""
import asyncio
import email
import email.policy
import socket
import subprocess
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

HOST = "127.0.0.1"


def _wait(items, count, timeout, lock, what):
    deadline = time.monotonic() + timeout
    while True:
        with lock:
            if len(items) >= count:
                return list(items)
        if time.monotonic() > deadline:
            pytest.fail("timed out after %.1f s waiting for %d %s (got %d)"
                        % (timeout, count, what, len(items)))
        time.sleep(0.05)


class SmtpMessage:
    """One delivered message: the envelope (`mail_from`, `rcpt_tos`), the
    bytes as received (`raw`), the parsed message (`message`; `msg["Subject"]`
    reads its headers) and the plain-text body (`body`)."""

    def __init__(self, envelope):
        self.mail_from = envelope.mail_from
        self.rcpt_tos = list(envelope.rcpt_tos)
        self.raw = envelope.original_content or envelope.content
        self.message = email.message_from_bytes(self.raw, policy=email.policy.default)
        self.body = self.message.get_content() if not self.message.is_multipart() else None

    def __getitem__(self, name):
        return self.message[name]


class _SmtpHandler:
    def __init__(self, server):
        self.server = server

    async def handle_DATA(self, smtp, session, envelope):
        if self.server.delay:
            await asyncio.sleep(self.server.delay)
        with self.server.lock:
            self.server.messages.append(SmtpMessage(envelope))
        return "250 OK"


class _BoundController(Controller):
    """Controller on a socket bound beforehand to a port the system chose,
    so parallel test runs never race for a port number."""

    def __init__(self, handler, sock, **kwargs):
        self._sock = sock
        super().__init__(handler, hostname=HOST, port=sock.getsockname()[1], **kwargs)

    def _create_server(self):
        return self.loop.create_server(self._factory_invoker, sock=self._sock,
                                       ssl=self.ssl_context)


class SmtpServer:
    """`.host`, `.port`, `.messages` (SmtpMessage, in delivery order),
    `.auths` (with `logins`: the user of each AUTH tried, in order), `.delay`
    (seconds to hold the answer to a message's end of data, 0 at first) and
    `wait(count, timeout)`."""

    def __init__(self, tls_context=None, logins=None, implicit_tls=None):
        self.host = HOST
        self.messages = []
        self.auths = []  # the user names of every AUTH received, in order
        self.delay = 0
        self.lock = threading.Lock()
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((HOST, 0))
        self.port = sock.getsockname()[1]
        kwargs = {}
        if tls_context is not None:
            kwargs = {"tls_context": tls_context, "require_starttls": False}
        if implicit_tls is not None:
            kwargs["ssl_context"] = implicit_tls  # TLS from the first byte
        if logins is not None:
            # `logins`: {user: password}; a client that does not log in, or
            # logs in wrongly, cannot send.
            def check(server, session, envelope, mechanism, auth_data):
                with self.lock:
                    self.auths.append(auth_data.login.decode())
                ok = logins.get(auth_data.login.decode()) == auth_data.password.decode()
                return AuthResult(success=ok)
            kwargs.update(authenticator=check, auth_required=True, auth_require_tls=False)
        self.controller = _BoundController(_SmtpHandler(self), sock, **kwargs)
        self.controller.start()

    def wait(self, count=1, timeout=10.0):
        """Waits until `count` messages are in; returns them."""
        return _wait(self.messages, count, timeout, self.lock, "SMTP messages")

    def stop(self):
        self.controller.stop()


class GatewayRequest:
    """One request: method, path (with the query as sent), the parsed query,
    headers, raw body and, for a form POST, the parsed form."""

    def __init__(self, handler, body):
        self.method = handler.command
        self.path = handler.path
        split = urllib.parse.urlsplit(handler.path)
        self.raw_query = split.query
        self.query = urllib.parse.parse_qs(split.query, keep_blank_values=True)
        self.headers = handler.headers
        self.body = body
        self.form = {}
        content_type = handler.headers.get("Content-Type", "")
        if self.method == "POST" and content_type.startswith("application/x-www-form-urlencoded"):
            self.form = urllib.parse.parse_qs(body.decode("ascii", "replace"),
                                              keep_blank_values=True)


class _GatewayHandler(BaseHTTPRequestHandler):
    def _answer(self):
        gateway = self.server.gateway
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        with gateway.lock:
            gateway.requests.append(GatewayRequest(self, body))
            status, delay = gateway.status, gateway.delay
        if delay:
            gateway.release.wait(delay)
        reply = b"OK\n" if 200 <= status < 300 else b"ERROR\n"
        try:
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)
        except OSError:  # the client gave up meanwhile
            pass

    do_GET = _answer
    do_POST = _answer

    def log_message(self, *args):
        pass


class HttpGateway:
    """`.port`, `.requests` (GatewayRequest, in arrival order), `.status`
    (answered to every request, 200 at first), `.delay` (seconds to hold each
    answer, 0 at first), `url(path)` and `wait(count, timeout)`."""

    def __init__(self):
        self.host = HOST
        self.requests = []
        self.status = 200
        self.delay = 0
        self.lock = threading.Lock()
        self.release = threading.Event()  # set at stop: held answers go out at once
        self.httpd = ThreadingHTTPServer((HOST, 0), _GatewayHandler)
        self.httpd.daemon_threads = True
        self.httpd.gateway = self
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path="/"):
        return "http://%s:%d%s" % (HOST, self.port, path)

    def wait(self, count=1, timeout=10.0):
        """Waits until `count` requests are in; returns them."""
        return _wait(self.requests, count, timeout, self.lock, "gateway requests")

    def stop(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(5)


def start_smtp(tls_context=None, logins=None):
    return SmtpServer(tls_context, logins)


def start_smtps(context):
    """An SMTP server speaking TLS from the first byte (smtps)."""
    return SmtpServer(implicit_tls=context)


def start_gateway():
    return HttpGateway()


@pytest.fixture
def smtp_server():
    server = start_smtp()
    yield server
    server.stop()


@pytest.fixture
def http_gateway():
    gateway = start_gateway()
    yield gateway
    gateway.stop()


def make_certificate(directory):
    """A throwaway self-signed certificate for 127.0.0.1 and its key."""
    cert, key = directory / "cert.pem", directory / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    return cert, key
