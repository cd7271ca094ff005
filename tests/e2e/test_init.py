"""keelbox init: the profile it stores, its prompts, hints and cleaning."""
from __future__ import annotations

import os
import pty
import select
import time
import unittest

from harness import ToolTestCase

CLOSING = ("\nKeelbox initialized and ready. Next steps:\n"
           "keelbox modules to show available modules.\n"
           "keelbox install <modules> to install modules and python packages.\n"
           "keelbox download-examples to download examples.\n"
           "keelbox install mkl to install Math Kernel Library required by some ZVK modules.\n")


def hint(env: str) -> str:
    portal = f"https://{env}.zvknumerics.com"
    return (f"You need a token to continue. Please create an account on {portal}.\n"
            f"Then create an Keelbox token on {portal}/tokens.\n\n")


def stored(token_id: str, token: str, env: str) -> str:
    return (f'[profile]\ntoken_id = "{token_id}"\ntoken = "{token}"\n'
            f'cloud_environment = "{env}"\n\n[options]\nadvanced_mode = false\n')


class InitWithOptions(ToolTestCase):
    def test_options_and_environment_select_the_cloud(self):
        cases = [
            ([], {}, "cloud"),
            (["--cloud-environment", "dev"], {}, "dev.cloud"),
            (["--cloud-environment=dev.cloud"], {}, "dev.cloud"),
            (["--cloud-environment", "staging"], {}, "cloud"),
            ([], {"KEELBOX_CLOUD_ENVIRONMENT": "dev"}, "dev.cloud"),
            ([], {"KEELBOX_CLOUD_ENVIRONMENT": ""}, "cloud"),
            (["--cloud-environment", "cloud"], {"KEELBOX_CLOUD_ENVIRONMENT": "dev"}, "cloud"),
        ]
        for args, env, expected in cases:
            with self.subTest(args=args, env=env):
                r = self.keelbox("init", "--token-id", "id-1", "--token", "s3cret", *args, env=env)
                self.assertEqual(r.returncode, 0, r)
                self.assertEqual(r.stderr, "")
                self.assertTrue(r.stdout.endswith(CLOSING), r.stdout)
                self.assertNotIn("You need a token", r.stdout)
                self.assertEqual(self.user.config_file.read_text(), stored("id-1", "s3cret", expected))
                self.assertEqual(self.user.config_file.stat().st_mode & 0o777, 0o600)

    def test_first_run_shows_the_notice_then_stores(self):
        r = self.keelbox("init", "--token-id", "a", "--token", "b")
        self.assertEqual(r.stdout, "No user profile found in the config.\nPlease run keelbox init.\n\n"
                         + CLOSING)
        # The next run finds a valid profile: no notice.
        self.assertEqual(self.keelbox("--version").stdout, "keelbox, version 0.10.4\n")

    def test_values_needing_escapes_survive(self):
        r = self.keelbox("init", "--token-id", 'q"uote', "--token", "back\\slash\ttab")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(self.user.config_file.read_text(),
                         stored('q\\"uote', "back\\\\slash\\ttab", "cloud"))
        self.assertEqual(self.keelbox("--version").returncode, 0)
        self.assertNotIn("No user profile", self.keelbox("--version").stdout)

    def test_empty_token_id_option_is_stored_without_asking(self):
        r = self.keelbox("init", "--token-id", "", "--token", "b")
        self.assertEqual(r.returncode, 0, r)
        self.assertNotIn("Enter your", r.stdout)
        self.assertEqual(self.user.config_file.read_text(), stored("", "b", "cloud"))

    def test_cleaning_keeps_backups_and_folders(self):
        self.write_profile(token_id="old")
        folder = self.user.config_dir
        for name in ("keelbox.toml.bak", "old.bu", "kombu", "notes.txt"):
            (folder / name).write_text("x")
        (folder / "examples").mkdir()
        (folder / "examples" / "inner.txt").write_text("x")
        r = self.keelbox("init", "--token-id", "new", "--token", "b")
        self.assertEqual(r.returncode, 0, r)
        left = sorted(p.name for p in folder.iterdir())
        self.assertEqual(left, ["examples", "keelbox.toml", "keelbox.toml.bak", "kombu", "old.bu"])
        self.assertTrue((folder / "examples" / "inner.txt").exists())
        self.assertEqual(self.user.config_file.read_text(), stored("new", "b", "cloud"))


class InitWithPrompts(ToolTestCase):
    def test_hint_and_both_prompts(self):
        for args, env in (([], "cloud"), (["--cloud-environment", "dev"], "dev.cloud")):
            with self.subTest(args=args):
                r = self.keelbox("init", *args, input="my-id\nmy-secret\n")
                self.assertEqual(r.returncode, 0, r)
                self.assertIn(hint(env) + "Enter your token id: Enter your token secret: " + CLOSING,
                              r.stdout)
                self.assertEqual(self.user.config_file.read_text(), stored("my-id", "my-secret", env))

    def test_empty_answers_repeat_the_prompt_and_blanks_are_kept(self):
        r = self.keelbox("init", input="\n\n  id  \n\nsecret\n")
        self.assertEqual(r.returncode, 0, r)
        self.assertIn("Enter your token id: " * 3 + "Enter your token secret: " * 2, r.stdout)
        self.assertEqual(self.user.config_file.read_text(), stored("  id  ", "secret", "cloud"))

    def test_only_token_id_given_asks_only_for_the_secret(self):
        r = self.keelbox("init", "--token-id", "a", input="s\n")
        self.assertEqual(r.returncode, 0, r)
        self.assertNotIn("You need a token", r.stdout)
        self.assertNotIn("Enter your token id", r.stdout)
        self.assertIn("Enter your token secret: ", r.stdout)

    def test_end_of_input_at_a_prompt_aborts_after_cleaning(self):
        self.write_profile()
        (self.user.config_dir / "keelbox.toml.bak").write_text("keep")
        for given in ("", "id-only\n"):
            with self.subTest(given=given):
                r = self.keelbox("init", input=given)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr, "Aborted!\n")
                self.assertFalse(self.user.config_file.exists())
                self.assertTrue((self.user.config_dir / "keelbox.toml.bak").exists())

    def test_interrupt_at_a_prompt(self):
        # Ctrl-C is typed only once the prompt shows, so the terminal delivers it.
        pid, fd = pty.fork()
        if pid == 0:
            try:
                os.execve(str(self.tool.exe), [str(self.tool.exe), "init", "--token-id", "a"],
                          self.user.environ())
            finally:
                os._exit(127)
        out = b""
        deadline = time.monotonic() + 60
        sent = False
        try:
            while time.monotonic() < deadline:
                if not sent and b"Enter your token secret: " in out:
                    os.write(fd, b"\x03")
                    sent = True
                ready, _, _ = select.select([fd], [], [], 0.1)
                if ready:
                    try:
                        chunk = os.read(fd, 4096)
                    except OSError:
                        break
                    if not chunk:
                        break
                    out += chunk
        finally:
            _, status = os.waitpid(pid, 0)
            os.close(fd)
        text = out.decode().replace("\r\n", "\n")
        self.assertEqual(os.waitstatus_to_exitcode(status), 1, text)
        self.assertTrue(text.endswith("Enter your token secret: ^CAborted!\n")
                        or text.endswith("Enter your token secret: Aborted!\n"), text)
        self.assertFalse(self.user.config_file.exists())

    def test_prompts_on_a_terminal(self):
        r = self.keelbox_tty("init", "--cloud-environment", "dev", input="tid\ntsecret\n")
        self.assertEqual(r.returncode, 0, r)
        self.assertIn("\x1b[34mhttps://dev.cloud.zvknumerics.com\x1b[0m", r.stdout)
        self.assertIn("\x1b[32mcreate an Keelbox token\x1b[0m", r.stdout)
        self.assertIn("Enter your token id: ", r.stdout)
        self.assertIn("\x1b[34mkeelbox install mkl\x1b[0m to install Math Kernel Library", r.stdout)
        self.assertEqual(self.user.config_file.read_text(), stored("tid", "tsecret", "dev.cloud"))


if __name__ == "__main__":
    unittest.main()
