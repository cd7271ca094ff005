"""The sandbox cloud's own contract: what tests of the tool rely on when they
point the tool at it (the services' answers, the failure switches, the log and
the command-line start)."""
from __future__ import annotations

import base64
import http.client
import json
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import harness  # noqa: F401  (puts tests/tools on sys.path)
from sandbox_cloud import Sandbox

GRANT = b'{"grant_type": "client_credentials"}'


def basic(token_id: str, secret: str) -> str:
    return "Basic " + base64.b64encode(f"{token_id}:{secret}".encode()).decode()


class SandboxCase(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox({"credentials": [{"token_id": "id-1", "secret": "s:1"},
                                           {"token_id": "fixed", "secret": "x",
                                            "access_token": "tok-fixed"}]})
        self.sb.start()
        self.addCleanup(self.sb.stop)

    def connect(self, service="core", env="cloud") -> http.client.HTTPSConnection:
        ctx = ssl.create_default_context(cafile=str(self.sb.ca_file))
        conn = http.client.HTTPSConnection("127.0.0.1", self.sb.port, context=ctx, timeout=10)
        conn.set_tunnel(self.sb.host(service, env), 443)
        self.addCleanup(conn.close)
        return conn

    def token(self, token_id="id-1", secret="s:1", body=GRANT, env="cloud"):
        conn = self.connect("token", env)
        conn.request("POST", "/oauth/token", body=body,
                     headers={"Authorization": basic(token_id, secret),
                              "Content-Type": "application/json"})
        resp = conn.getresponse()
        return resp.status, resp.read()

    def core(self, path, token="tok-fixed", conn=None):
        conn = conn or self.connect()
        conn.request("GET", "/v1/license" + path,
                     headers={"Accept": "application/vnd.api+json",
                              "Authorization": f"Bearer {token}"})
        resp = conn.getresponse()
        return resp, resp.read()


class TokenService(SandboxCase):
    def test_credentials_decide_the_answer(self):
        cases = [("id-1", "s:1", GRANT, 200), ("id-1", "s:2", GRANT, 401),
                 ("id-2", "s:1", GRANT, 404), ("id-1", "s:1", b'{"grant_type": "password"}', 400)]
        for token_id, secret, body, status in cases:
            with self.subTest(token_id=token_id, secret=secret):
                self.assertEqual(self.token(token_id, secret, body)[0], status)
        status, body = self.token("fixed", "x")
        self.assertEqual(json.loads(body)["access_token"], "tok-fixed")

    def test_issued_tokens_open_the_core_service_of_both_environments(self):
        issued = json.loads(self.token()[1])["access_token"]
        for token, status in ((issued, 200), ("tok-fixed", 200), ("made-up", 401)):
            with self.subTest(token=token):
                self.assertEqual(self.core("/entitlements", token)[0].status, status)
        self.assertEqual(self.core("/entitlements", issued,
                                   self.connect("core", "dev.cloud"))[0].status, 200)

    def test_log_records_the_request_exactly(self):
        self.token()
        (entry,) = self.sb.requests(path="/oauth/token")
        self.assertEqual(entry["host"], "token.cloud.zvknumerics.com")
        self.assertEqual((entry["service"], entry["env"], entry["method"]), ("token", "cloud", "POST"))
        self.assertEqual(base64.b64decode(entry["body_b64"]), GRANT)
        self.assertIn(["Authorization", basic("id-1", "s:1")], entry["headers"])


class CoreService(SandboxCase):
    def test_endpoints_and_keep_alive(self):
        conn = self.connect()
        resp, body = self.core("/entitlements", conn=conn)
        self.assertEqual(json.loads(body)[0]["code"], "ENT_ZVK_SAMPLE_APP")
        resp, body = self.core("/packages?limit=99", conn=conn)
        self.assertEqual(json.loads(body)[0]["key"], "zvk-sample-app")
        resp, _ = self.core("/pip", conn=conn)
        self.assertEqual((resp.status, resp.getheader("location")),
                         (303, "https://pip.sandbox.invalid/simple/"))
        self.sb.add_example("zvk_sample_app", {"a/requirements.txt": "numpy\n"})
        resp, body = self.core("/artifacts/examples/zvk_sample_app.tar.gz", conn=conn)
        self.assertEqual((resp.status, int(resp.getheader("content-length"))), (200, len(body)))
        self.assertEqual(self.core("/artifacts/examples/other.tar.gz", conn=conn)[0].status, 404)
        self.assertEqual(len(self.sb.connections()), 1)
        self.assertEqual(self.sb.requests(path="/v1/license/packages")[0]["path"],
                         "/v1/license/packages?limit=99")

    def test_scenario_changes_apply_to_the_next_request(self):
        self.sb.update(entitlements=[], pip_location="https://elsewhere/simple/")
        self.assertEqual(json.loads(self.core("/entitlements")[1]), [])
        self.assertEqual(self.core("/pip")[0].getheader("location"), "https://elsewhere/simple/")

    def test_pip_switches(self):
        for options, status, location in [({"status": 200}, 200, None),
                                          ({"status": 302}, 302, "https://pip.sandbox.invalid/simple/"),
                                          ({"status": 404}, 404, None),
                                          ({"omit_location": True}, 303, None)]:
            with self.subTest(options=options):
                self.sb.set_override("pip", **options)
                resp, _ = self.core("/pip")
                self.assertEqual((resp.status, resp.getheader("location")), (status, location))

    def test_delivery_switches(self):
        self.sb.add_example("a", {"x": "y" * 5000})
        self.sb.add_example("b", {"x": "z"})
        self.sb.set_override("examples/b", status=404)
        self.sb.set_override("examples", chunked=True, chunk_size=100, chunk_delay=0.001)
        resp, body = self.core("/artifacts/examples/a.tar.gz")
        self.assertEqual((resp.status, resp.getheader("content-length")), (200, None))
        self.assertEqual(body, (self.sb.examples_dir / "a.tar.gz").read_bytes())
        self.assertEqual(self.core("/artifacts/examples/b.tar.gz")[0].status, 404)

        self.sb.set_override("entitlements", cut_after=5)
        with self.assertRaises(http.client.IncompleteRead):
            self.core("/entitlements")

        self.sb.set_override("entitlements")
        whole = len(self.core("/entitlements")[1])
        for options, received in [({"stall_after_headers": 3}, 0),
                                  ({"stall_mid_body": 3}, whole // 2)]:
            with self.subTest(options=options):
                self.sb.set_override("entitlements", **options)
                conn = self.connect()
                conn.timeout = 0.5
                conn.request("GET", "/v1/license/entitlements",
                             headers={"Authorization": "Bearer tok-fixed"})
                conn.sock.settimeout(0.5)
                resp = conn.getresponse()
                self.assertEqual(resp.status, 200)
                self.assertEqual(len(resp.read(received)), received)
                with self.assertRaises((socket.timeout, TimeoutError)):
                    resp.read(1)

    def test_other_hosts_are_refused(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.sb.port, timeout=5)
        self.addCleanup(conn.close)
        conn.set_tunnel("example.org", 443)
        with self.assertRaisesRegex(OSError, "403"):
            conn.connect()


class CommandLine(unittest.TestCase):
    def test_ready_line_and_termination(self):
        state = Path(tempfile.mkdtemp(prefix="sandbox-cli-"))
        script = harness.TOOLS_DIR / "sandbox_cloud" / "sandbox.py"
        proc = subprocess.Popen([sys.executable, str(script), "--state-dir", str(state),
                                 "--domain", "example.test"], stdout=subprocess.PIPE, text=True)
        try:
            info = json.loads(proc.stdout.readline())
            self.assertTrue(Path(info["ca_file"]).is_file())
            self.assertEqual(json.loads(Path(info["scenario_file"]).read_text())["credentials"][0]
                             ["token_id"], "id-1")
            with socket.create_connection(("127.0.0.1", info["port"]), timeout=5) as s:
                s.sendall(b"CONNECT core.dev.cloud.example.test:443 HTTP/1.1\r\n\r\n")
                self.assertTrue(s.recv(100).startswith(b"HTTP/1.1 200"))
        finally:
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=10), 0)
            proc.stdout.close()
            shutil.rmtree(state, ignore_errors=True)


class Backlog(unittest.TestCase):
    def test_many_connections_opened_at_once_are_all_queued(self):
        # Nothing accepts while the connections open: each must still be
        # queued by the kernel (a small listen backlog drops the surplus,
        # and the client retries only a second or more later).
        from sandbox_cloud.server import SandboxServer
        server = SandboxServer(0, state=None)
        self.addCleanup(server.server_close)
        port = server.server_address[1]
        clients = []
        try:
            for _ in range(32):
                clients.append(socket.create_connection(("127.0.0.1", port), timeout=0.5))
        finally:
            for c in clients:
                c.close()
        self.assertEqual(len(clients), 32)


class SharedCertificates(unittest.TestCase):
    def test_starts_at_once_share_one_whole_set(self):
        # Sandboxes started together into an empty folder: each ends up with
        # the same complete set, made once, and nothing half-made is left.
        from concurrent.futures import ThreadPoolExecutor
        from sandbox_cloud import certs
        cache = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, cache, True)
        hosts = ["core.cloud.example.org"]
        with ThreadPoolExecutor(4) as pool:
            sets = list(pool.map(lambda _: certs.shared_certificates(cache, hosts), range(4)))
        self.assertEqual(len(set(sets)), 1)
        self.assertEqual(len(list(cache.iterdir())), 1, list(cache.iterdir()))
        ctx = ssl.create_default_context(cafile=str(sets[0].ca_file))
        ctx.load_cert_chain(sets[0].cert_file, sets[0].key_file)
        # Other hosts get a set of their own.
        self.assertNotEqual(certs.shared_certificates(cache, ["other.example.org"]), sets[0])


if __name__ == "__main__":
    unittest.main()
