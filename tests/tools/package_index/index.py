#!/usr/bin/env python3
"""A private package index for tests and the demo.

Builds small wheels of fixture packages at start (by hand, with zipfile: no
build tools needed) and serves them as a PEP 503 "simple" index over loopback
HTTP, so that pip (and the uv stand-in) install them offline.

Command:
    python3 index.py --dir DIR [--port N]
prints one JSON line {"url": "http://127.0.0.1:PORT/simple/", "pid": PID} when
ready and serves until killed.

Python API:
    from package_index.index import PackageIndex
    with PackageIndex() as index:          # wheels in a temporary folder
        index.url                          # http://127.0.0.1:PORT/simple/
        index.requests                     # paths asked for, in order

Fixture packages (FIXTURES): zvk-sample-app 1.3.0 and 1.4.0 (1.4.0 needs
zvk-sample-utils), zvk-sample-utils 0.2.0, zvk-tracer 2.0.0, mkl 2024.0.0,
whose wheel installs lib/libmkl_rt.so.2 into the environment's data folder
(like the real distribution does), and uv 0.5.0, whose `uv` executable is the
uv stand-in (so that installing keelbox's wheel from this index brings its uv).
"""
from __future__ import annotations

import argparse
import base64
import hashlib
import html
import json
import os
import re
import shutil
import sys
import tempfile
import threading
import zipfile
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path


@dataclass
class Fixture:
    name: str                   # distribution name, e.g. "zvk-sample-app"
    version: str
    requires: list = field(default_factory=list)   # Requires-Dist lines
    # Extra files: path inside the wheel -> bytes.
    files: dict = field(default_factory=dict)
    # Whether the wheel holds an importable package named after the distribution.
    with_module: bool = True


FIXTURES = [
    Fixture("zvk-sample-app", "1.3.0"),
    Fixture("zvk-sample-app", "1.4.0", requires=["zvk-sample-utils>=0.2.0"]),
    Fixture("zvk-sample-utils", "0.2.0"),
    Fixture("zvk-tracer", "2.0.0"),
    Fixture("mkl", "2024.0.0", with_module=False,
            files={"mkl-2024.0.0.data/data/lib/libmkl_rt.so.2": b"\x7fELF stand-in MKL runtime\n"}),
]


def uv_fixture() -> Fixture:
    """A `uv` distribution whose `uv` executable is the stand-in in tests/tools/uv.

    Its first line becomes `#!python`, which the installer rewrites to the
    interpreter of the environment it installs into."""
    script = (Path(__file__).resolve().parents[1] / "uv" / "uv").read_bytes()
    body = script.split(b"\n", 1)[1] if script.startswith(b"#!") else script
    return Fixture("uv", UV_VERSION, with_module=False,
                   files={f"uv-{UV_VERSION}.data/scripts/uv": b"#!python\n" + body})


UV_VERSION = "0.5.0"
FIXTURES.append(uv_fixture())


def normalize(name: str) -> str:
    """PEP 503 normalised project name."""
    return re.sub(r"[-_.]+", "-", name).lower()


def _record_hash(data: bytes) -> str:
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


def build_wheel(fixture: Fixture, directory: Path) -> Path:
    """Writes the wheel of `fixture` into `directory`; returns its path."""
    dist = re.sub(r"[-_.]+", "_", fixture.name)
    info = f"{dist}-{fixture.version}.dist-info"
    files: dict[str, bytes] = {}
    if fixture.with_module:
        files[f"{dist}/__init__.py"] = f'__version__ = "{fixture.version}"\n'.encode()
    files.update(fixture.files)
    metadata = [
        "Metadata-Version: 2.1",
        f"Name: {fixture.name}",
        f"Version: {fixture.version}",
        f"Summary: Test fixture {fixture.name}",
    ] + [f"Requires-Dist: {r}" for r in fixture.requires]
    files[f"{info}/METADATA"] = ("\n".join(metadata) + "\n").encode()
    files[f"{info}/WHEEL"] = (
        "Wheel-Version: 1.0\nGenerator: keelbox-test-index\n"
        "Root-Is-Purelib: true\nTag: py3-none-any\n").encode()
    if fixture.with_module:
        files[f"{info}/top_level.txt"] = f"{dist}\n".encode()
    record_lines = [f"{path},{_record_hash(data)},{len(data)}" for path, data in files.items()]
    record_lines.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = ("\n".join(record_lines) + "\n").encode()

    path = directory / f"{dist}-{fixture.version}-py3-none-any.whl"
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as zf:
        for name, data in files.items():
            # Executables keep their mode through the archive (installers copy it).
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (0o100755 if ".data/scripts/" in name else 0o100644) << 16
            zf.writestr(info, data)
    return path


class _Handler(BaseHTTPRequestHandler):
    server: "_Server"

    def log_message(self, format, *args):  # quiet
        pass

    def _send(self, status: int, body: bytes, content_type: str = "text/html") -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        index: PackageIndex = self.server.index
        path = self.path.split("?", 1)[0]
        index.requests.append(path)
        if path in ("/simple", "/simple/"):
            links = "".join(f'<a href="/simple/{p}/">{html.escape(p)}</a>\n'
                            for p in sorted(index.projects()))
            return self._send(200, f"<!DOCTYPE html><html><body>\n{links}</body></html>\n".encode())
        m = re.fullmatch(r"/simple/([^/]+)/?", path)
        if m:
            wheels = index.wheels_of(normalize(m.group(1)))
            if not wheels:
                return self._send(404, b"not found\n", "text/plain")
            links = "".join(
                f'<a href="/files/{w.name}#sha256={hashlib.sha256(w.read_bytes()).hexdigest()}">'
                f"{html.escape(w.name)}</a>\n" for w in wheels)
            return self._send(200, f"<!DOCTYPE html><html><body>\n{links}</body></html>\n".encode())
        m = re.fullmatch(r"/files/([^/]+\.whl)", path)
        if m:
            wheel = index.directory / m.group(1)
            if wheel.is_file():
                return self._send(200, wheel.read_bytes(), "application/octet-stream")
        return self._send(404, b"not found\n", "text/plain")


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128  # the default backlog of 5 drops parallel fetches
    index: "PackageIndex"


class PackageIndex:
    """The fixture wheels served over loopback HTTP."""

    def __init__(self, directory: Path | str | None = None, port: int = 0,
                 fixtures: list[Fixture] | None = None):
        self._own_dir = directory is None
        self.directory = Path(directory or tempfile.mkdtemp(prefix="keelbox-index-"))
        self.directory.mkdir(parents=True, exist_ok=True)
        self.port = port
        self.requests: list[str] = []
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        for fixture in (FIXTURES if fixtures is None else fixtures):
            self.add(fixture)

    def add(self, fixture: Fixture) -> Path:
        """Builds and publishes one more wheel (also while serving)."""
        return build_wheel(fixture, self.directory)

    def projects(self) -> set[str]:
        return {normalize(w.name.split("-", 1)[0]) for w in self.directory.glob("*.whl")}

    def wheels_of(self, project: str) -> list[Path]:
        return sorted(w for w in self.directory.glob("*.whl")
                      if normalize(w.name.split("-", 1)[0]) == project)

    @property
    def url(self) -> str:
        assert self._server is not None, "index not started"
        return f"http://127.0.0.1:{self._server.server_address[1]}/simple/"

    def start(self) -> str:
        self._server = _Server(("127.0.0.1", self.port), _Handler)
        self._server.index = self
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self.url

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        if self._own_dir:
            shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self) -> "PackageIndex":
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", required=True, help="folder for the wheels (created)")
    parser.add_argument("--port", type=int, default=0, help="port (default: any free one)")
    args = parser.parse_args(argv)
    index = PackageIndex(args.dir, port=args.port)
    index.start()
    print(json.dumps({"url": index.url, "pid": os.getpid()}), flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        index.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
