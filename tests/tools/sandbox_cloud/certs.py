"""Throw-away test CA and server certificate, made with the openssl CLI.

Both certificates are ECDSA P-256. An ECDSA signature holds two integers, r
and s, which DER writes without leading zero bytes, so about one signature in
128 has one of them shorter than 32 bytes. wine's certificate-chain check
rejects such a signature (CertGetCertificateChain reports "not signature
valid"), so a certificate is signed again until both integers are 32 bytes
wide; every client accepts those.

Making them takes five runs of openssl, most of a sandbox's start. Tests that
start many sandboxes share one pair through shared_certificates()."""
from __future__ import annotations

import base64
import hashlib
import os
import secrets
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

_FULL_WIDTH = 32  # bytes of r and s on P-256
_SIGNING_ATTEMPTS = 64


@dataclass(frozen=True)
class CertFiles:
    ca_file: Path      # the CA certificate clients trust (SSL_CERT_FILE)
    cert_file: Path    # the server certificate, signed by the CA
    key_file: Path     # the server's private key


def _openssl(*args: str, cwd: Path) -> None:
    proc = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"openssl {args[0]} failed: {proc.stderr.strip()}")


def _der_element(data: bytes, at: int) -> tuple[bytes, int]:
    """The contents of the DER element at `at`, and where the next one starts."""
    at += 1  # the tag
    length = data[at]
    at += 1
    if length & 0x80:
        width = length & 0x7F
        length = int.from_bytes(data[at:at + width], "big")
        at += width
    return data[at:at + length], at + length


def signature_widths(pem_file: Path) -> tuple[int, int]:
    """The widths in bytes of the ECDSA signature's r and s, leading zeros left out."""
    lines = Path(pem_file).read_text().splitlines()
    der = base64.b64decode("".join(line for line in lines if line and not line.startswith("-----")))
    certificate, _ = _der_element(der, 0)
    _, at = _der_element(certificate, 0)       # the signed part
    _, at = _der_element(certificate, at)      # the signature algorithm
    bits, _ = _der_element(certificate, at)    # the signature, a BIT STRING
    value, _ = _der_element(bits[1:], 0)       # past the unused-bits byte
    r, at = _der_element(value, 0)
    s, _ = _der_element(value, at)
    return len(r.lstrip(b"\0")), len(s.lstrip(b"\0"))


def _sign_until_full_width(sign, pem_file: Path) -> None:
    for _ in range(_SIGNING_ATTEMPTS):
        sign()
        if min(signature_widths(pem_file)) == _FULL_WIDTH:
            return
    raise RuntimeError(f"no full-width signature for {pem_file} in {_SIGNING_ATTEMPTS} attempts")


def make_certificates(folder: Path, hosts: list[str], days: int = 7) -> CertFiles:
    """Creates a new CA and a server certificate for `hosts` in `folder`."""
    folder.mkdir(parents=True, exist_ok=True)
    for key in ("ca.key", "server.key"):
        _openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                 "-out", key, cwd=folder)
        (folder / key).chmod(0o600)
    _sign_until_full_width(lambda: _openssl(
        "req", "-x509", "-new", "-key", "ca.key", "-out", "ca.pem", "-days", str(days),
        "-subj", "/CN=keelbox sandbox test CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder), folder / "ca.pem")
    _openssl("req", "-new", "-key", "server.key", "-out", "server.csr",
             "-subj", f"/CN={hosts[0]}", cwd=folder)
    (folder / "server.ext").write_text(
        "basicConstraints=critical,CA:FALSE\n"
        "keyUsage=critical,digitalSignature\n"
        "extendedKeyUsage=serverAuth\n"
        "subjectAltName=" + ",".join(f"DNS:{h}" for h in hosts) + "\n")
    _sign_until_full_width(lambda: _openssl(
        "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-set_serial", "0x" + secrets.token_hex(8), "-days", str(days),
        "-extfile", "server.ext", "-out", "server.pem", cwd=folder), folder / "server.pem")
    return CertFiles(folder / "ca.pem", folder / "server.pem", folder / "server.key")


def shared_certificates(cache: Path, hosts: list[str]) -> CertFiles:
    """The certificates for `hosts` kept in the folder `cache`: made by the
    first start of the day and used by every later one (they are valid for a
    week). Concurrent starts each make a set in a folder of their own and
    rename it into place; the first rename wins and the others use its set,
    so no start ever sees a half-written one."""
    day = int(time.time() // 86400)
    name = hashlib.sha256("\n".join(hosts).encode()).hexdigest()[:16]
    folder = Path(cache) / f"{name}-{day}"
    files = CertFiles(folder / "ca.pem", folder / "server.pem", folder / "server.key")
    if folder.is_dir():
        return files
    Path(cache).mkdir(parents=True, exist_ok=True)
    fresh = Path(tempfile.mkdtemp(prefix=".new-", dir=cache))
    try:
        make_certificates(fresh, hosts)
        os.rename(fresh, folder)
    except OSError:
        if not folder.is_dir():
            raise
    finally:
        shutil.rmtree(fresh, ignore_errors=True)
    return files
