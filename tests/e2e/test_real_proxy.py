"""`keelbox download-examples` through a real squid in front of a real nginx
that speaks HTTP/2 and ends every connection after five requests (GOAWAY),
once as it stands and once also taking one stream at a time.

Both run as plain processes of the test with their own configuration, logs
and pid files in a temporary folder. squid resolves the service host names
through a hosts file of its own; nginx answers for them on port 443 of a
loopback address of its own: a CONNECT asks for port 443, and squid sends a
CONNECT to an origin-server peer only on the port asked for. nginx's
certificate comes from a throw-away CA that the tool trusts through
SSL_CERT_FILE. Binding port 443 needs privileges: without them the test is
skipped with the reason."""
from __future__ import annotations

import json
import os
import pwd
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from harness import ToolTestCase
from sandbox_cloud.api import make_archive
from sandbox_cloud.certs import make_certificates
from sandbox_cloud.scenario import DEFAULT_DOMAIN

TOKEN_HOST = f"token.cloud.{DEFAULT_DOMAIN}"
CORE_HOST = f"core.cloud.{DEFAULT_DOMAIN}"
ACCESS_TOKEN = "proxy-test-access-token"
START_SECONDS = 15.0
STOP_SECONDS = 5.0
MODULES = 12  # and three JSON requests: nginx ends connections several times per run


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def private_loopback_address() -> str:
    """A loopback address no other test run is likely to use (all of 127/8 is
    local on Linux), so that parallel runs each have their own port 443."""
    return "127.{}.{}.{}".format(random.randint(1, 254), random.randint(0, 255),
                                 random.randint(1, 254))


def can_bind(address: str, port: int) -> str | None:
    """None when `address:port` can be bound, else why not."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((address, port))
        except OSError as exc:
            return f"cannot bind {address}:{port} ({exc.strerror})"
    return None


def wait_listening(proc: subprocess.Popen, address: str, port: int, log: Path, what: str) -> None:
    deadline = time.monotonic() + START_SECONDS
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"{what} exited with {proc.returncode}:\n{read_tail(log)}")
        try:
            with socket.create_connection((address, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"{what} did not listen on {address}:{port} within "
                       f"{START_SECONDS:.0f} s:\n{read_tail(log)}")


def read_tail(path: Path, lines: int = 30) -> str:
    try:
        return "\n".join(path.read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return "(no log)"


def stop_process(proc: subprocess.Popen) -> None:
    """SIGTERM to the process group, SIGKILL after a bounded wait."""
    if proc.poll() is None:
        for sig, wait in ((signal.SIGTERM, STOP_SECONDS), (signal.SIGKILL, STOP_SECONDS)):
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                break
            try:
                proc.wait(wait)
                break
            except subprocess.TimeoutExpired:
                continue
    for stream in (proc.stdout, proc.stderr):
        if stream:
            stream.close()


def start_process(args: list[str], log: Path, cwd: Path) -> subprocess.Popen:
    with open(log, "ab") as out:
        return subprocess.Popen(args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, start_new_session=True)


def nginx_conf(root: Path, address: str, certs, www: Path, limits: str) -> str:
    token_answer = json.dumps({"access_token": ACCESS_TOKEN, "token_type": "Bearer",
                               "expires_in": 1800})
    assert "'" not in token_answer and "$" not in token_answer
    tls = (f"    ssl_certificate {certs.cert_file};\n"
           f"    ssl_certificate_key {certs.key_file};\n")
    return f"""worker_processes 1;
pid {root}/nginx.pid;
error_log stderr warn;
events {{ worker_connections 256; }}
http {{
  log_format requests '$server_protocol $request_method $host $uri $status';
  access_log {root}/access.log requests;
  client_body_temp_path {root}/tmp/body;
  proxy_temp_path {root}/tmp/proxy;
  fastcgi_temp_path {root}/tmp/fastcgi;
  uwsgi_temp_path {root}/tmp/uwsgi;
  scgi_temp_path {root}/tmp/scgi;
  {limits}
  server {{
    listen {address}:443 ssl http2;
    server_name {TOKEN_HOST};
{tls}    location = /oauth/token {{
      if ($request_method != POST) {{ return 405; }}
      default_type application/json;
      return 200 '{token_answer}';
    }}
    location / {{ return 404; }}
  }}
  server {{
    listen {address}:443 ssl http2;
    server_name {CORE_HOST};
{tls}    if ($http_authorization != "Bearer {ACCESS_TOKEN}") {{ return 401; }}
    location /v1/license/ {{
      root {www};
      default_type application/vnd.api+json;
      types {{ application/gzip gz; }}
    }}
    location / {{ return 404; }}
  }}
}}
"""


class Nginx:
    """nginx on `address`:443 with the given connection limits, in `folder`."""

    def __init__(self, folder: Path, address: str, certs, www: Path, limits: str):
        (folder / "tmp").mkdir(parents=True)
        self.folder = folder
        self.conf = folder / "nginx.conf"
        self.conf.write_text(nginx_conf(folder, address, certs, www, limits))
        self.address = address
        self.proc: subprocess.Popen | None = None

    def __enter__(self) -> "Nginx":
        log = self.folder / "error.log"
        self.proc = start_process(["nginx", "-p", str(self.folder), "-e", "stderr",
                                   "-c", str(self.conf), "-g", "daemon off;"], log, self.folder)
        try:
            wait_listening(self.proc, self.address, 443, log, "nginx")
        except BaseException:
            stop_process(self.proc)
            raise
        return self

    def __exit__(self, *exc) -> None:
        if self.proc:
            stop_process(self.proc)

    def served(self) -> list[str]:
        return (self.folder / "access.log").read_text().splitlines()


def squid_conf(root: Path, port: int, hosts_file: Path, as_root: bool) -> str:
    user = "cache_effective_user proxy\n" if as_root else ""
    return f"""http_port 127.0.0.1:{port}
pid_filename {root}/squid.pid
cache_log {root}/cache.log
access_log stdio:{root}/access.log
cache_store_log none
coredump_dir {root}
netdb_filename none
pinger_enable off
cache deny all
hosts_file {hosts_file}
shutdown_lifetime 0 seconds
{user}acl SSL_ports port 443
acl CONNECT method CONNECT
http_access allow CONNECT SSL_ports
http_access deny all
"""


# Connection limits of busy servers; every one makes the tool open new
# connections while transfers wait for them.
SERVERS = [
    ("GOAWAY after five requests", "keepalive_requests 5;"),
    ("one stream at a time and GOAWAY after five requests",
     "keepalive_requests 5; http2_max_concurrent_streams 1;"),
]
ROUNDS = 3  # fresh users each: sign-in and lists go over the same connections


class RealProxyTest(ToolTestCase):
    def setUp(self) -> None:
        super().setUp()
        for program in ("squid", "nginx"):
            if not shutil.which(program):
                self.skip_with_reason(f"{program} is not installed")
        self.address = private_loopback_address()
        reason = can_bind(self.address, 443)
        if reason:
            self.skip_with_reason(reason)
        self.root = Path(tempfile.mkdtemp(prefix="keelbox-proxy-"))
        self.addCleanup(shutil.rmtree, self.root, True)
        self.root.chmod(0o755)  # nginx workers and squid run as unprivileged users
        self.certs = make_certificates(self.root / "tls", [TOKEN_HOST, CORE_HOST])
        self.names = [f"mod-{i:02d}" for i in range(1, MODULES + 1)]
        self.write_service_answers()
        self.start_squid()
        self.write_profile(token_id="id-1", token="secret-1")

    def skip_with_reason(self, reason: str) -> None:
        print(f"\nskipped: {reason}", flush=True)
        self.skipTest(reason)

    def write_service_answers(self) -> None:
        self.www = self.root / "www"
        license_dir = self.www / "v1" / "license"
        (license_dir / "artifacts" / "examples").mkdir(parents=True)
        entitlements = [{"name": f"Module {name}", "code": "ENT_" + name.upper().replace("-", "_"),
                         "packages": [name], "required_entitlements": []} for name in self.names]
        packages = [{"key": key} for name in self.names for key in (name, f"{name}-examples")]
        (license_dir / "entitlements").write_text(json.dumps(entitlements))
        (license_dir / "packages").write_text(json.dumps(packages))
        rng = random.Random(7)
        for name in self.names:
            # Incompressible content: each archive takes several frames to arrive.
            data = make_archive({f"{name}/README.md": f"{name}\n",
                                 f"{name}/data.bin": rng.randbytes(32 * 1024)})
            (license_dir / "artifacts" / "examples" / f"{name.replace('-', '_')}.tar.gz") \
                .write_bytes(data)
        for path in self.www.rglob("*"):
            path.chmod(0o755 if path.is_dir() else 0o644)

    def start_squid(self) -> None:
        folder = self.root / "squid"
        folder.mkdir()
        hosts = folder / "hosts"
        hosts.write_text(f"{self.address} {TOKEN_HOST} {CORE_HOST}\n")
        as_root = os.geteuid() == 0
        self.squid_port = free_port()
        conf = folder / "squid.conf"
        conf.write_text(squid_conf(folder, self.squid_port, hosts, as_root))
        for path in (folder, hosts, conf):
            path.chmod(0o755 if path.is_dir() else 0o644)
        if as_root:  # squid leaves root for its own user, which writes the logs
            proxy = pwd.getpwnam("proxy")
            os.chown(folder, proxy.pw_uid, proxy.pw_gid)
        proc = start_process(["squid", "-N", "-f", str(conf)], folder / "squid.out", folder)
        self.addCleanup(stop_process, proc)
        wait_listening(proc, "127.0.0.1", self.squid_port, folder / "cache.log", "squid")

    def download_all(self, round_dir: Path):
        env = {"HTTPS_PROXY": f"http://127.0.0.1:{self.squid_port}",
               "https_proxy": f"http://127.0.0.1:{self.squid_port}",
               "NO_PROXY": "", "SSL_CERT_FILE": str(self.certs.ca_file),
               "XDG_CACHE_HOME": str(round_dir / "cache")}
        dest = round_dir / "dl"
        dest.mkdir(parents=True)
        return dest, self.keelbox("download-examples", "--download-dir", str(dest), env=env,
                                  timeout=60)

    def test_downloads_survive_servers_that_limit_connections(self):
        for case, (label, limits) in enumerate(SERVERS):
            with self.subTest(label), \
                    Nginx(self.root / f"nginx-{case}", self.address, self.certs, self.www,
                          limits) as nginx:
                for round_no in range(ROUNDS):
                    dest, r = self.download_all(self.user.root / f"case-{case}-{round_no}")
                    self.assertEqual(r.returncode, 0, r)
                    self.assertEqual(r.stderr, "", r)
                    expected = {f"Successfully downloaded examples for {name}-examples to "
                                f"{dest / (name + '-examples')}" for name in self.names}
                    self.assertEqual(set(r.stdout.splitlines()) & expected, expected, r)
                    for name in self.names:
                        readme = dest / f"{name}-examples" / name / "README.md"
                        self.assertEqual(readme.read_text(), f"{name}\n")
                # The answers came from nginx, through squid's tunnels.
                served = " ".join(nginx.served())
                for name in self.names:
                    self.assertIn(f"/artifacts/examples/{name.replace('-', '_')}.tar.gz 200",
                                  served)


if __name__ == "__main__":
    unittest.main()
