"""Python interface of the sandbox cloud for tests.

    from sandbox_cloud import Sandbox
    with Sandbox({"credentials": [{"token_id": "id-1", "secret": "s"}]}) as sb:
        run_tool(env=sb.env)
        assert len(sb.requests(path="/oauth/token")) == 1
        sb.set_override("entitlements", status=500)
"""
from __future__ import annotations

import copy
import io
import json
import os
import shutil
import tarfile
import tempfile
import threading
from pathlib import Path

from . import scenario as scenario_mod
from .certs import make_certificates, shared_certificates
from .server import SandboxServer, SandboxState, make_ssl_context


class Sandbox:
    """A running sandbox cloud, served from a thread of this process.

    `scenario` (a dict, merged over the defaults) is written to
    <state_dir>/scenario.json; with `scenario_file` an existing file is used
    instead and only read. Without `state_dir` a temporary folder is made and
    removed on stop()."""

    def __init__(self, scenario: dict | None = None, *, state_dir=None, scenario_file=None,
                 domain: str = scenario_mod.DEFAULT_DOMAIN, port: int = 0):
        self._own_state = state_dir is None
        self.state_dir = Path(state_dir) if state_dir else Path(
            tempfile.mkdtemp(prefix="sandbox-cloud-"))
        self.domain = domain
        self._port = port
        self.log_file = self.state_dir / "requests.log"
        self.examples_dir = self.state_dir / "examples"
        if scenario_file:
            self.scenario_file = Path(scenario_file).resolve()
        else:
            self.scenario_file = self.state_dir / "scenario.json"
            scenario_mod.write(self.scenario_file, scenario_mod.with_defaults(scenario or {}))
        self._server: SandboxServer | None = None
        self._thread: threading.Thread | None = None
        self.ca_file: Path | None = None

    # ---- life cycle ----

    def start(self) -> "Sandbox":
        self.state_dir.mkdir(parents=True, exist_ok=True)
        self.examples_dir.mkdir(exist_ok=True)
        self.log_file.touch()
        hosts = scenario_mod.service_hosts(self.domain)
        # A test run names one folder for every sandbox it starts.
        shared = os.environ.get("KEELBOX_SANDBOX_CERTS")
        certs = (shared_certificates(Path(shared), hosts) if shared
                 else make_certificates(self.state_dir / "tls", hosts))
        self.ca_file = certs.ca_file
        state = SandboxState(domain=self.domain, scenario_file=self.scenario_file,
                             log_file=self.log_file, default_examples_dir=self.examples_dir,
                             ssl_context=make_ssl_context(certs.cert_file, certs.key_file))
        self._server = SandboxServer(self._port, state)
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,),
                                        name="sandbox-cloud", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        if self._own_state:
            shutil.rmtree(self.state_dir, ignore_errors=True)

    def __enter__(self) -> "Sandbox":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # ---- how clients reach it ----

    @property
    def port(self) -> int:
        assert self._server, "sandbox not started"
        return self._server.server_address[1]

    @property
    def proxy_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def env(self) -> dict:
        """Environment variables that route a client through the sandbox."""
        return {"HTTPS_PROXY": self.proxy_url, "https_proxy": self.proxy_url,
                "SSL_CERT_FILE": str(self.ca_file), "NO_PROXY": "", "no_proxy": ""}

    def ready_info(self) -> dict:
        return {"port": self.port, "ca_file": str(self.ca_file), "log_file": str(self.log_file),
                "scenario_file": str(self.scenario_file), "state_dir": str(self.state_dir),
                "examples_dir": str(self.examples_dir), "domain": self.domain}

    def host(self, service: str, env: str = "cloud") -> str:
        return f"{service}.{env}.{self.domain}"

    # ---- the scenario ----

    @property
    def scenario(self) -> dict:
        return scenario_mod.load(self.scenario_file)

    def update(self, **changes) -> None:
        """Replaces top-level scenario members (credentials=..., entitlements=...)."""
        scen = self.scenario
        scen.update(copy.deepcopy(changes))
        scenario_mod.write(self.scenario_file, scen)

    def set_override(self, endpoint: str, **options) -> None:
        """Sets the override of one endpoint ("token", "entitlements", "packages",
        "pip", "examples" or "examples/<name>"); no options removes it."""
        scen = self.scenario
        overrides = scen.setdefault("overrides", {})
        if options:
            overrides[endpoint] = options
        else:
            overrides.pop(endpoint, None)
        scenario_mod.write(self.scenario_file, scen)

    def clear_overrides(self) -> None:
        self.update(overrides={})

    # ---- example archives ----

    def add_example_archive(self, name: str, data: bytes) -> Path:
        """Serves `data` as /artifacts/examples/<name>.tar.gz."""
        path = self.examples_dir / f"{name}.tar.gz"
        path.write_bytes(data)
        return path

    def add_example(self, name: str, files: dict) -> Path:
        """Serves a gzip tar archive of `files` ({member name: text or bytes})."""
        return self.add_example_archive(name, make_archive(files))

    # ---- the request log ----

    def requests(self, path: str | None = None, method: str | None = None,
                 service: str | None = None, env: str | None = None) -> list[dict]:
        """Logged requests, oldest first, filtered by exact path (query
        included when given), method, service ("token"/"core") and environment.
        CONNECT refusals and TLS failures are listed only with their method."""
        out = []
        for entry in read_log(self.log_file):
            if method is None and entry.get("method") in ("CONNECT", "TLS"):
                continue
            if method is not None and entry.get("method") != method:
                continue
            if path is not None and entry.get("path") != path and \
                    entry.get("path", "").split("?")[0] != path:
                continue
            if service is not None and entry.get("service") != service:
                continue
            if env is not None and entry.get("env") != env:
                continue
            out.append(entry)
        return out

    def connections(self, **filters) -> set[int]:
        """Ids of the TLS connections that carried the matching requests."""
        return {e["conn"] for e in self.requests(**filters)}

    def clear_log(self) -> None:
        self.log_file.write_text("")


def read_log(path: Path) -> list[dict]:
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def make_archive(files: dict) -> bytes:
    """A gzip tar archive of regular files {name: text or bytes}, in order."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, content in files.items():
            data = content.encode() if isinstance(content, str) else content
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = 0o644
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()
