"""The thin command handlers against the sandbox cloud: the example list,
--info, and how failures of the called operations end a run."""
from __future__ import annotations

import unittest

from harness import ToolTestCase, install_uv_standin
from sandbox_cloud import Sandbox

SAMPLE_APP = {"name": "ZVK Sample App", "code": "ENT_ZVK_SAMPLE_APP",
              "packages": ["zvk-sample-app"], "required_entitlements": []}
TRACER = {"name": "ZVK Tracer", "code": "ENT_ZVK_TRACER_FREE",
          "packages": ["zvk-tracer"], "required_entitlements": []}


class HandlerTest(ToolTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        install_uv_standin(cls.tool.venv / "bin")  # the listing asks uv what is installed

    def setUp(self):
        super().setUp()
        self.sandbox = Sandbox({"entitlements": [SAMPLE_APP, TRACER]})
        self.sandbox.start()
        self.addCleanup(self.sandbox.stop)
        self.write_profile(token_id="id-1", token="secret-1")

    def run_tool(self, *args, **kw):
        env = {**self.sandbox.env, "VIRTUAL_ENV": str(self.tool.venv)}
        return self.keelbox(*args, env=env, **kw)

    def test_list_available_examples_downloads_nothing(self):
        self.sandbox.update(packages=[{"key": "zvk-tracer-examples"}, {"key": "other-examples"},
                                      {"key": "zvk-sample-app"}, {"key": "zvk-sample-app-examples"}])
        out_dir = self.user.root / "out"
        r = self.run_tool("download-examples", "--list-available", "-m", "x",
                          "--download-dir", str(out_dir))
        self.assertEqual((r.returncode, r.stderr), (0, ""), r)
        self.assertEqual(r.stdout, "Available examples: \nzvk-tracer-examples\nzvk-sample-app-examples\n")
        self.assertFalse(out_dir.exists())
        self.assertEqual([q for q in self.sandbox.requests() if "/artifacts/" in q["path"]], [])

    def test_list_available_with_no_examples_prints_an_empty_line(self):
        self.sandbox.update(packages=[{"key": "zvk-sample-app"}])
        r = self.run_tool("download-examples", "--list-available")
        self.assertEqual((r.returncode, r.stdout), (0, "Available examples: \n\n"), r)

    def test_service_error_is_an_unhandled_failure(self):
        self.sandbox.set_override("packages", status=404, reason="Not Found")
        r = self.run_tool("download-examples", "--list-available")
        self.assertEqual((r.returncode, r.stdout), (1, ""), r)
        self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
        self.assertRegex(r.stderr, r"^keelbox: HTTPStatusError: 404 Client Error: Not Found for url: "
                                   r"https://core\.cloud\.\S+/packages\?limit=99\n$")

    def test_info_lists_like_modules_and_is_ignored_before_a_command(self):
        modules = self.run_tool("modules")
        self.assertEqual(modules.returncode, 0, modules)
        self.assertIn("ZVK Sample App", modules.stdout)
        for args in (["--info"], ["--info", "modules"]):
            with self.subTest(args=args):
                r = self.run_tool(*args)
                self.assertEqual((r.returncode, r.stdout), (0, modules.stdout), r)
        r = self.run_tool("--info", "download-examples", "--list-available")
        self.assertTrue(r.stdout.startswith("Available examples: "), r)

    def test_info_without_a_profile_shows_the_notice_then_fails(self):
        self.user.config_file.write_text("")
        r = self.run_tool("--info")
        self.assertEqual(r.returncode, 1, r)
        self.assertTrue(r.stdout.startswith(
            "No user profile found in the config.\nPlease run keelbox init.\n\n"), r)
        self.assertNotEqual(r.stderr, "")


if __name__ == "__main__":
    unittest.main()
