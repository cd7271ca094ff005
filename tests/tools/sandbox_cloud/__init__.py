"""The sandbox cloud: a local stand-in for the vendor's token and core services,
reached through HTTPS_PROXY and trusted through SSL_CERT_FILE. See README.md."""
from .api import Sandbox, make_archive, read_log
from .scenario import DEFAULT_DOMAIN, DEFAULT_SCENARIO

__all__ = ["Sandbox", "make_archive", "read_log", "DEFAULT_DOMAIN", "DEFAULT_SCENARIO"]
