"""The scenario: what the sandbox cloud answers. Kept in a JSON file that the
server reads again for every request, so a test changes the behaviour of a
running sandbox by rewriting the file. See README.md for the format."""
from __future__ import annotations

import copy
import json
import os
import tempfile
from pathlib import Path

DEFAULT_DOMAIN = "zvknumerics.com"
ENVIRONMENTS = ("cloud", "dev.cloud")
SERVICES = ("token", "core")

DEFAULT_SCENARIO: dict = {
    "credentials": [
        {"token_id": "id-1", "secret": "secret-1"},
    ],
    "accept_any_token": False,
    "access_tokens": [],
    "entitlements": [
        {"name": "ZVK Sample App", "code": "ENT_ZVK_SAMPLE_APP",
         "packages": ["zvk-sample-app"], "required_entitlements": []},
        {"name": "ZVK Extra Package", "code": "ENT_PKG_ZVK_EXTRA",
         "packages": ["zvk-extra"], "required_entitlements": []},
    ],
    "packages": [
        {"key": "zvk-sample-app"},
        {"key": "zvk-sample-app-examples"},
        {"key": "zvk-extra"},
    ],
    "pip_location": "https://pip.sandbox.invalid/simple/",
    "examples_dir": None,
    "overrides": {},
    "proxy_credentials": None,
}

# Keys of "overrides": one endpoint each, or one archive ("examples/<name>").
ENDPOINTS = ("token", "entitlements", "packages", "pip", "examples")


def service_hosts(domain: str) -> list[str]:
    """The four host names the sandbox serves, token service first."""
    return [f"{service}.{env}.{domain}" for env in ENVIRONMENTS for service in SERVICES]


def split_host(host: str, domain: str) -> tuple[str, str]:
    """("token"|"core", "cloud"|"dev.cloud") of a served host name."""
    label, _, rest = host.partition(".")
    return label, rest[: -len(domain) - 1]


def with_defaults(scenario: dict) -> dict:
    merged = copy.deepcopy(DEFAULT_SCENARIO)
    merged.update(copy.deepcopy(scenario))
    return merged


def load(path: Path) -> dict:
    with open(path, encoding="utf-8") as f:
        return with_defaults(json.load(f))


def write(path: Path, scenario: dict) -> None:
    """Replaces the file atomically, so the server never reads half of it."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".scenario-", dir=path.parent)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(scenario, f, indent=2)
    os.replace(tmp, path)
