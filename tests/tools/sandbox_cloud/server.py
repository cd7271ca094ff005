"""The sandbox cloud server: an HTTPS proxy endpoint on loopback that answers
CONNECT for the token and core service hosts itself, terminates TLS with a
certificate of its own test CA, and serves the services' endpoints over
HTTP/1.1 with keep-alive.

Every request is logged as one JSON line; requests on one TLS connection
share a connection id ("conn")."""
from __future__ import annotations

import base64
import gzip
import binascii
import datetime
import http
import http.server
import itertools
import json
import secrets
import socket
import socketserver
import ssl
import threading
import time
import zlib
from pathlib import Path
from urllib.parse import urlsplit

from . import scenario as scenario_mod

CORE_PREFIX = "/v1/license"
EXAMPLES_PREFIX = CORE_PREFIX + "/artifacts/examples/"


class SandboxState:
    """What the request handlers share: configuration, the TLS context, the
    issued tokens and the log."""

    def __init__(self, *, domain: str, scenario_file: Path, log_file: Path,
                 default_examples_dir: Path, ssl_context: ssl.SSLContext):
        self.domain = domain
        self.hosts = scenario_mod.service_hosts(domain)
        self.scenario_file = scenario_file
        self.log_file = log_file
        self.default_examples_dir = default_examples_dir
        self.ssl_context = ssl_context
        self.issued_tokens: set[str] = set()
        self._conn_ids = itertools.count(1)
        self._lock = threading.Lock()

    def next_conn_id(self) -> int:
        with self._lock:
            return next(self._conn_ids)

    def issue_token(self) -> str:
        token = "sbx-" + secrets.token_hex(12)
        with self._lock:
            self.issued_tokens.add(token)
        return token

    def scenario(self) -> dict:
        return scenario_mod.load(self.scenario_file)

    def examples_dir(self, scen: dict) -> Path:
        configured = scen.get("examples_dir")
        if not configured:
            return self.default_examples_dir
        path = Path(configured)
        return path if path.is_absolute() else self.scenario_file.parent / path

    def log(self, entry: dict) -> None:
        entry = {"time": datetime.datetime.now(datetime.timezone.utc).isoformat(), **entry}
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self._lock, open(self.log_file, "a", encoding="utf-8") as f:
            f.write(line)


class Answer:
    """One response: status, headers in order, body, and the delivery switches
    of an override."""

    def __init__(self, status: int, body: bytes = b"", headers=None, options=None):
        self.status = status
        self.body = body
        self.headers = list(headers or [])
        self.options = dict(options or {})


def json_answer(status: int, value, content_type="application/json", options=None) -> Answer:
    return Answer(status, json.dumps(value).encode(), [("Content-Type", content_type)], options)


def error_answer(status: int, detail: str, options=None) -> Answer:
    title = http.HTTPStatus(status).phrase if status in http.HTTPStatus._value2member_map_ else ""
    return json_answer(status, {"errors": [{"status": str(status), "title": title,
                                            "detail": detail}]}, options=options)


class ServiceHandler(http.server.BaseHTTPRequestHandler):
    """HTTP/1.1 on one TLS connection, for one service host."""

    protocol_version = "HTTP/1.1"
    server_version = "sandbox-cloud/1"
    timeout = 300  # an idle keep-alive connection is closed after this

    def __init__(self, request, client_address, server, *, host: str, conn_id: int,
                 session_reused: bool):
        self.service_host = host
        self.conn_id = conn_id
        self.session_reused = session_reused
        self.state: SandboxState = server.state
        super().__init__(request, client_address, server)

    def log_message(self, format, *args):  # noqa: A002 - quiet: the JSON log is the record
        pass

    def do_GET(self):
        self._serve()

    def do_POST(self):
        self._serve()

    def do_PUT(self):
        self._serve()

    def do_DELETE(self):
        self._serve()

    def do_HEAD(self):
        self._serve()

    # ---- dispatch ----

    def _serve(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        service, env = scenario_mod.split_host(self.service_host, self.state.domain)
        try:
            scen = self.state.scenario()
            answer = self._route(service, scen, body)
        except Exception as exc:  # a broken scenario file shows as a 500 in the log
            answer = error_answer(500, f"sandbox failure: {exc!r}")
        self.state.log({
            "conn": self.conn_id, "session_reused": self.session_reused,
            "host": self.service_host, "service": service, "env": env,
            "method": self.command, "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_b64": base64.b64encode(body).decode(),
            "status": answer.status,
        })
        self._send(answer)

    def _route(self, service: str, scen: dict, body: bytes) -> Answer:
        path = urlsplit(self.path).path
        overrides = scen.get("overrides") or {}
        if service == "token":
            if path == "/oauth/token" and self.command == "POST":
                return self._forced(overrides.get("token")) or self._token(scen, body,
                                                                          overrides.get("token"))
            return error_answer(404, "no such token endpoint")
        endpoint, name = None, None
        if path == CORE_PREFIX + "/entitlements":
            endpoint = "entitlements"
        elif path == CORE_PREFIX + "/packages":
            endpoint = "packages"
        elif path == CORE_PREFIX + "/pip":
            endpoint = "pip"
        elif path.startswith(EXAMPLES_PREFIX) and path.endswith(".tar.gz"):
            endpoint, name = "examples", path[len(EXAMPLES_PREFIX):-len(".tar.gz")]
        if endpoint is None or self.command != "GET":
            return error_answer(404, "no such core endpoint")
        override = (overrides.get(f"examples/{name}") if name is not None else None) \
            or overrides.get(endpoint)
        forced = self._forced(override, endpoint, scen)
        if forced:
            return forced
        if not self._bearer_ok(scen):
            return error_answer(401, "missing or unknown access token", override)
        if endpoint == "entitlements":
            return json_answer(200, scen["entitlements"], "application/vnd.api+json", override)
        if endpoint == "packages":
            return json_answer(200, scen["packages"], "application/vnd.api+json", override)
        if endpoint == "pip":
            return self._pip(scen, 303, override)
        archive = self.state.examples_dir(scen) / f"{name}.tar.gz"
        if "/" in name or not archive.is_file():
            return error_answer(404, f"no example archive {name}", override)
        return Answer(200, archive.read_bytes(), [("Content-Type", "application/gzip")], override)

    def _forced(self, override, endpoint=None, scen=None) -> Answer | None:
        """The answer an override forces with "status" (checks are skipped)."""
        if not override or "status" not in override:
            return None
        status = int(override["status"])
        if endpoint == "pip":
            return self._pip(scen, status, override)
        if "body" in override:
            value = override["body"]
            data = value.encode() if isinstance(value, str) else json.dumps(value).encode()
            return Answer(status, data, [("Content-Type", "application/json")], override)
        if status >= 400:
            return error_answer(status, "forced by the scenario", override)
        return json_answer(status, {}, options=override)

    def _pip(self, scen: dict, status: int, override) -> Answer:
        override = override or {}
        headers = []
        if 300 <= status < 400 and not override.get("omit_location"):
            headers.append(("Location", scen["pip_location"]))
        body = override.get("body", "")
        data = body.encode() if isinstance(body, str) else json.dumps(body).encode()
        return Answer(status, data, headers, override)

    def _token(self, scen: dict, body: bytes, override) -> Answer:
        auth = self.headers.get("Authorization") or ""
        scheme, _, encoded = auth.partition(" ")
        try:
            if scheme != "Basic":
                raise ValueError("not Basic")
            decoded = base64.b64decode(encoded, validate=True).decode("utf-8")
            if ":" not in decoded:
                raise ValueError("no colon")
        except (ValueError, binascii.Error, UnicodeDecodeError):
            return error_answer(401, "malformed Basic credential", override)
        try:
            grant = json.loads(body).get("grant_type")
        except (ValueError, AttributeError):
            grant = None
        if grant != "client_credentials":
            return error_answer(400, "unsupported grant", override)
        # Ids and secrets may contain ":" themselves: the whole text is compared.
        for cred in scen["credentials"]:
            if decoded == f"{cred.get('token_id')}:{cred.get('secret', '')}":
                token = cred.get("access_token") or self.state.issue_token()
                return json_answer(200, {"access_token": token, "token_type": "Bearer",
                                         "expires_in": 1800}, options=override)
        for cred in scen["credentials"]:
            if decoded.startswith(f"{cred.get('token_id')}:"):
                return error_answer(401, "wrong secret", override)
        return error_answer(404, f"unknown token id {decoded.partition(':')[0]}", override)

    def _bearer_ok(self, scen: dict) -> bool:
        scheme, _, token = (self.headers.get("Authorization") or "").partition(" ")
        if scheme != "Bearer" or not token:
            return False
        if scen.get("accept_any_token"):
            return True
        known = set(scen.get("access_tokens") or [])
        known.update(c["access_token"] for c in scen["credentials"] if c.get("access_token"))
        return token in known or token in self.state.issued_tokens

    # ---- delivery ----

    def _send(self, answer: Answer) -> None:
        opts = answer.options
        if opts.get("stall_before_headers"):
            time.sleep(float(opts["stall_before_headers"]))
            self.close_connection = True
            return
        reason = opts.get("reason")
        body = answer.body + b" " * int(opts.get("pad_body") or 0)
        encoding = opts.get("encoding")
        if encoding == "gzip":
            body = gzip.compress(body)
        elif encoding == "deflate":
            body = zlib.compress(body)
        header_delay = float(opts.get("header_delay") or 0)
        self.send_response(answer.status, reason)
        chunked = bool(opts.get("chunked"))
        headers = answer.headers + [tuple(h) for h in opts.get("headers", [])]
        if encoding:
            headers.append(("Content-Encoding", encoding))
        for name, value in headers:
            if header_delay:  # each line on its own, a while apart
                self.flush_headers()
                time.sleep(header_delay)
            self.send_header(name, value)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if opts.get("stall_after_headers"):
            self.wfile.flush()
            time.sleep(float(opts["stall_after_headers"]))
            self.close_connection = True
            return
        if self.command == "HEAD":
            return
        if opts.get("stall_mid_body"):
            piece = body[: max(1, len(body) // 2)]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            self.wfile.flush()
            time.sleep(float(opts["stall_mid_body"]))
            self.close_connection = True
            return
        cut = opts.get("cut_after")
        if cut is not None:
            body = body[: int(cut)]
        size = max(1, int(opts.get("chunk_size") or 65536))
        delay = float(opts.get("chunk_delay") or 0)
        for start in range(0, len(body), size):
            piece = body[start:start + size]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            self.wfile.flush()
            if delay:
                time.sleep(delay)
        if cut is not None:
            self.close_connection = True  # the rest never comes
            return
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()


class ProxyHandler(http.server.BaseHTTPRequestHandler):
    """The proxy endpoint: only CONNECT to a served host on port 443."""

    protocol_version = "HTTP/1.1"
    server_version = "sandbox-cloud/1"
    rbufsize = 0  # read nothing past the CONNECT request: the TLS handshake follows

    def log_message(self, format, *args):  # noqa: A002
        pass

    def do_CONNECT(self):
        state: SandboxState = self.server.state
        host, _, port = self.path.rpartition(":")
        wanted = state.scenario().get("proxy_credentials")
        if wanted:
            given = self.headers.get("Proxy-Authorization") or ""
            if given != "Basic " + base64.b64encode(wanted.encode()).decode():
                state.log({"conn": None, "host": host, "method": "CONNECT", "path": self.path,
                           "status": 407})
                self.send_response(407, "Proxy Authentication Required")
                self.send_header("Proxy-Authenticate", 'Basic realm="sandbox"')
                self.send_header("Content-Length", "0")
                self.send_header("Connection", "close")
                self.end_headers()
                self.close_connection = True
                return
        if host not in state.hosts or port != "443":
            state.log({"conn": None, "host": host, "method": "CONNECT", "path": self.path,
                       "status": 403})
            self.send_response(403, "Forbidden")
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            return
        self.send_response(200, "Connection established")
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True
        try:
            tls = state.ssl_context.wrap_socket(self.connection, server_side=True)
        except (ssl.SSLError, OSError) as exc:
            state.log({"conn": None, "host": host, "method": "TLS", "path": self.path,
                       "status": 0, "error": str(exc)})
            return
        try:
            ServiceHandler(tls, self.client_address, self.server, host=host,
                           conn_id=state.next_conn_id(), session_reused=tls.session_reused)
        except (OSError, ssl.SSLError):
            pass  # the client went away
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def _refuse(self):
        self.send_response(405, "Method Not Allowed")
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = _refuse


class SandboxServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    # The listen backlog: the default of 5 drops (and the client retries a
    # second later) a sixth connection opened at once, as concurrent
    # downloads do.
    request_queue_size = 128

    def __init__(self, port: int, state: SandboxState):
        self.state = state
        super().__init__(("127.0.0.1", port), ProxyHandler)

    def server_bind(self):
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        socketserver.TCPServer.server_bind(self)  # skip HTTPServer's name lookup

    def handle_error(self, request, client_address):
        pass  # clients that vanish mid-answer are normal in failure tests


def make_ssl_context(cert_file: Path, key_file: Path) -> ssl.SSLContext:
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert_file, key_file)
    ctx.set_alpn_protocols(["http/1.1"])
    return ctx
