"""`keelbox modules` and `keelbox --info`: the module table against the sandbox
cloud, with installed state read by the uv stand-in from a real environment."""
from __future__ import annotations

import importlib.metadata
import json
import subprocess
import unittest

from harness import ToolTestCase, copy_env, install_uv_standin, shared_env_with_pip
from package_index.index import PackageIndex
from sandbox_cloud import Sandbox

SEP = "_" * 25 + "  " + "_" * 25 + "  " + "_" * 25
HEADER = "Module Name" + " " * 14 + ": " + "Module Key" + " " * 15 + ": Packages"
LEGEND = (
    "\n"
    "    The following tables contains all your Keelbox modules.\n"
    "\n"
    "    Modules Name: The name of the Keelbox module in human readable form.\n"
    "    Module Key  : The unique key of the Keelbox module. Use this key to install\n"
    "                  all packages of the module via `keelbox install <module_key>`.\n"
    "    Packages    : The list of packages available for this module. Keelbox modules\n"
    "                  contain one or several python packages. You can install individual\n"
    "                  packages using `keelbox install <package_key>`\n"
    "\n"
    "    Color       : green indicates that the package is installed, red indicates that\n"
    "                  the package is not installed.\n"
    "    \n")

GREEN, RED, RESET = "\x1b[32m", "\x1b[31m", "\x1b[0m"


def entitlement(name, code, packages, **extra):
    item = {"name": name, "code": code, "required_entitlements": []}
    if packages is not None:
        item["packages"] = packages
    item.update(extra)
    return item


# The two modules of the usual account: "ZVK Sample App" and "ZVK Tracer".
SAMPLE_APP = entitlement("ZVK Sample App", "ENT_ZVK_SAMPLE_APP", ["zvk-sample-app", "zvk-sample-utils"])
TRACER = entitlement("ZVK Tracer", "ENT_ZVK_TRACER_FREE", ["zvk-tracer"])


class CatalogueFixture:
    """Mixed into a ToolTestCase: the uv stand-in beside the tool, the test
    package index, a pristine target environment (with pip) copied afresh for
    every test, and a sandbox cloud per test whose index address is the test
    index."""

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        install_uv_standin(cls.tool.venv / "bin")
        cls.index = PackageIndex()
        cls.index.start()
        cls.pristine = shared_env_with_pip()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.index.stop()
        super().tearDownClass()

    def setUp(self) -> None:
        super().setUp()
        self.target = self.user.root / "target"
        copy_env(self.pristine, self.target)
        self.uv_log = self.user.root / "uv.log"
        self.sandbox = Sandbox({"entitlements": [SAMPLE_APP, TRACER],
                                "pip_location": self.index.url})
        self.sandbox.start()
        self.addCleanup(self.sandbox.stop)
        self.write_profile(token_id="id-1", token="secret-1")

    # ---- helpers ----

    @property
    def env(self) -> dict:
        return {**self.sandbox.env, "VIRTUAL_ENV": str(self.target),
                "UV_STANDIN_LOG": str(self.uv_log)}

    def pip(self, *args) -> str:
        out = subprocess.run([str(self.target / "bin" / "python"), "-m", "pip", "--isolated",
                              "--disable-pip-version-check", *args],
                             check=True, capture_output=True, text=True)
        return out.stdout

    def preinstall(self, *requirements) -> None:
        self.pip("install", "--index-url", self.index.url, *requirements)

    def installed(self) -> dict:
        """Name -> version of what the target holds, as `pip list` shows them,
        read from the distributions' metadata without starting pip."""
        site = [str(p) for p in (self.target / "lib").glob("python*/site-packages")]
        return {d.metadata["Name"]: d.version for d in importlib.metadata.distributions(path=site)}

    def uv_calls(self) -> list[list[str]]:
        if not self.uv_log.exists():
            return []
        return [json.loads(line)["argv"] for line in self.uv_log.read_text().splitlines() if line]

    def entitlement_requests(self) -> list:
        return self.sandbox.requests(path="/v1/license/entitlements", method="GET")


def row(name: str, key: str, packages: str) -> str:
    return name.ljust(25) + ": " + key.ljust(25) + ":" + packages


class ModulesListingTest(CatalogueFixture, ToolTestCase):

    def test_table_byte_for_byte_when_piped(self):
        long_name = "ZVK Tracer With A Very Long Module Name!"  # 40 characters
        self.assertEqual(len(long_name), 40)
        self.sandbox.update(entitlements=[
            SAMPLE_APP,
            entitlement("ZVK Extra", "ENT_PKG_ZVK_EXTRA", ["zvk-extra"]),   # a package, not a module
            entitlement("ZVK Pkgx", "ENT_PKGX", ["zvk-pkgx"]),              # prefix test only
            entitlement("Empty", "ENT_EMPTY", []),                          # no packages
            entitlement("Absent", "ENT_ABSENT", None),                      # no "packages" key
            entitlement(long_name, "ENT_ZVK_TRACER_FREE", ["zvk-tracer"], extra_field=1),
            entitlement("lower pkg", "ent_pkg_lower", ["zvk-lower"]),      # case-sensitive test
        ])
        self.preinstall("zvk-sample-app==1.3.0")
        r = self.keelbox("modules", env=self.env)
        self.assertEqual(r.returncode, 0, r)
        expected = LEGEND + "\n".join([
            SEP, HEADER, SEP,
            row("ZVK Sample App", "ZVK_SAMPLE_APP", "zvk-sample-app, zvk-sample-utils"),
            long_name + ": " + "ZVK_TRACER_FREE".ljust(25) + ":zvk-tracer",
            row("lower pkg", "pkg_lower", "zvk-lower"),
            SEP]) + "\n"
        self.assertEqual(r.stdout, expected)
        self.assertNotIn("\x1b", r.stdout)
        # One `uv pip show` per package of every module, in table order.
        self.assertEqual(self.uv_calls(), [["pip", "show", p] for p in
                                           ("zvk-sample-app", "zvk-sample-utils", "zvk-tracer",
                                            "zvk-lower")])

    def test_colours_under_a_terminal(self):
        self.preinstall("zvk-sample-app==1.3.0")
        r = self.keelbox_tty("modules", env=self.env)
        self.assertEqual(r.returncode, 0, r)
        self.assertIn(row("ZVK Sample App", "ZVK_SAMPLE_APP",
                          f"{GREEN}zvk-sample-app{RESET}, {RED}zvk-sample-utils{RESET}"), r.stdout)
        self.assertIn(row("ZVK Tracer", "ZVK_TRACER_FREE", f"{RED}zvk-tracer{RESET}"), r.stdout)
        self.assertIn(f"    Color       : {GREEN}green{RESET} indicates that the package is "
                      f"installed, {RED}red{RESET} indicates that\n", r.stdout)

    def test_info_option_shows_the_same_table(self):
        modules = self.keelbox("modules", env=self.env)
        info = self.keelbox("--info", env=self.env)
        self.assertEqual(info.returncode, 0, info)
        self.assertEqual(info.stdout, modules.stdout)
        self.assertIn(row("ZVK Tracer", "ZVK_TRACER_FREE", "zvk-tracer"), info.stdout)

    def test_no_modules_gives_three_separators(self):
        self.sandbox.update(entitlements=[entitlement("ZVK Extra", "ENT_PKG_ZVK_EXTRA", ["zvk-extra"])])
        r = self.keelbox("modules", env=self.env)
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, LEGEND + "\n".join([SEP, HEADER, SEP, SEP]) + "\n")

    def test_entitlements_remembered_for_thirty_seconds(self):
        first = self.keelbox("modules", env=self.env)
        self.sandbox.update(entitlements=[TRACER])  # not seen while the memo is fresh
        second = self.keelbox("modules", env=self.env)
        self.assertEqual(second.returncode, 0, second)
        self.assertEqual(second.stdout, first.stdout)
        self.assertEqual(len(self.entitlement_requests()), 1)

    def test_error_status_ends_run_after_legend(self):
        for status in (500, 403):
            with self.subTest(status=status):
                self.sandbox.set_override("entitlements", status=status)
                r = self.keelbox("modules", env=self.env)
                self.assertEqual(r.returncode, 1, r)
                self.assertEqual(r.stdout, LEGEND)
                self.assertIn(str(status), r.stderr)
                self.assertFalse(r.stderr.startswith("Error: "), r)  # not a user-facing error
        # Failures are not remembered: the next listing asks again and succeeds.
        self.sandbox.set_override("entitlements")
        r = self.keelbox("modules", env=self.env)
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(len(self.entitlement_requests()), 3)

    def test_entitlement_failing_validation_ends_run(self):
        self.sandbox.update(entitlements=[{"name": "No Code", "packages": ["x"],
                                           "required_entitlements": []}])
        r = self.keelbox("modules", env=self.env)
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("code", r.stderr)
        self.assertEqual(r.stdout, LEGEND)


class ProfileFromTheEnvironmentTest(CatalogueFixture, ToolTestCase):
    """A pipeline gives the token through KEELBOX_TOKEN_ID and KEELBOX_TOKEN:
    no keelbox.toml is needed, read or left behind."""

    TOKEN_ID, SECRET = "ci-id-7731", "ci-secret-5f2e"

    def setUp(self) -> None:
        super().setUp()
        self.user.config_file.unlink()
        self.sandbox.update(credentials=[{"token_id": self.TOKEN_ID, "secret": self.SECRET}])
        self.sandbox.update(packages=[{"key": "zvk-sample-app"},
                                      {"key": "zvk-sample-app-examples"}])

    def ci_env(self, **extra) -> dict:
        return {**self.env, "KEELBOX_TOKEN_ID": self.TOKEN_ID, "KEELBOX_TOKEN": self.SECRET,
                **extra}

    def test_list_install_and_examples_without_a_file(self):
        r = self.keelbox("modules", env=self.ci_env())
        self.assertEqual(r.returncode, 0, r)
        self.assertTrue(r.stdout.startswith(LEGEND), r)  # no "No user profile" notice
        self.assertIn("ZVK Sample App", r.stdout)
        r = self.keelbox("download-examples", "--list-available", env=self.ci_env())
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, "Available examples: \nzvk-sample-app-examples\n")
        r = self.keelbox("install", "zvk-sample-app", "--yes", env=self.ci_env())
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(self.installed().get("zvk-sample-app"), "1.4.0")
        self.assertFalse(self.user.config_file.exists())
        self.assertNotIn("No user profile", r.stdout)
        # The access token was asked for once and kept in the cache as usual.
        self.assertEqual(len(self.sandbox.requests(path="/oauth/token")), 1)

    def test_the_environment_wins_over_the_file_and_leaves_it_alone(self):
        self.write_profile(token_id="file-id", token="file-secret")
        before = self.user.config_file.read_bytes()
        r = self.keelbox("modules", env=self.ci_env())
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(self.user.config_file.read_bytes(), before)

    def test_one_without_the_other_names_both(self):
        for present in ("KEELBOX_TOKEN_ID", "KEELBOX_TOKEN"):
            with self.subTest(present=present):
                env = {**self.env, present: "x1"}
                for args in (["modules"], ["download-examples", "--list-available"]):
                    r = self.keelbox(*args, env=env)
                    self.assertEqual(r.returncode, 1, r)
                    self.assertTrue(r.stderr.startswith("Error: "), r)
                    self.assertIn("KEELBOX_TOKEN_ID", r.stderr)
                    self.assertIn("KEELBOX_TOKEN ", r.stderr)
                    self.assertNotIn("No user profile", r.stdout)
        self.assertFalse(self.user.config_file.exists())
        self.assertEqual(self.sandbox.requests(path="/oauth/token"), [])

    def test_cloud_environment_is_checked_as_the_files_is(self):
        r = self.keelbox("modules", env=self.ci_env(KEELBOX_CLOUD_ENVIRONMENT="staging"))
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("KEELBOX_CLOUD_ENVIRONMENT", r.stderr)
        self.assertNotIn(self.SECRET, r.stdout + r.stderr)


if __name__ == "__main__":
    unittest.main()
