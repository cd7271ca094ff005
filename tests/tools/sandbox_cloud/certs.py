"""Throw-away test CA and server certificate, made with the openssl CLI.

Both certificates are ECDSA P-256. An ECDSA signature holds two integers, r
and s, which DER writes without leading zero bytes, so about one signature in
128 has one of them shorter than 32 bytes. wine's certificate-chain check
rejects such a signature (CertGetCertificateChain reports "not signature
valid"), so a certificate is signed again until both integers are 32 bytes
wide; every client accepts those."""
from __future__ import annotations

import base64
import secrets
import subprocess
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
