"""Throw-away test CA and server certificate, made with the openssl CLI."""
from __future__ import annotations

import secrets
import subprocess
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class CertFiles:
    ca_file: Path      # the CA certificate clients trust (SSL_CERT_FILE)
    cert_file: Path    # the server certificate, signed by the CA
    key_file: Path     # the server's private key


def _openssl(*args: str, cwd: Path) -> None:
    proc = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"openssl {args[0]} failed: {proc.stderr.strip()}")


def make_certificates(folder: Path, hosts: list[str], days: int = 7) -> CertFiles:
    """Creates a new CA and a server certificate for `hosts` in `folder`."""
    folder.mkdir(parents=True, exist_ok=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    _openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", str(days),
             "-subj", "/CN=keelbox sandbox test CA",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    _openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr",
             "-subj", f"/CN={hosts[0]}", cwd=folder)
    (folder / "server.ext").write_text(
        "basicConstraints=critical,CA:FALSE\n"
        "keyUsage=critical,digitalSignature\n"
        "extendedKeyUsage=serverAuth\n"
        "subjectAltName=" + ",".join(f"DNS:{h}" for h in hosts) + "\n")
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-set_serial", "0x" + secrets.token_hex(8), "-days", str(days),
             "-extfile", "server.ext", "-out", "server.pem", cwd=folder)
    for key in ("ca.key", "server.key"):
        (folder / key).chmod(0o600)
    return CertFiles(folder / "ca.pem", folder / "server.pem", folder / "server.key")
