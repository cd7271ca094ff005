"""What users of such tools expect beyond the four commands: shell completion,
the manual page, and NO_COLOR."""
import os
import re
import shutil
import subprocess
import time
import unittest
import uuid

from harness import ToolTestCase

ESC = "\x1b["


class CompletionTest(ToolTestCase):
    def complete(self, shell, words, cword):
        env = {"_KEELBOX_COMPLETE": f"{shell}_complete", "COMP_WORDS": words,
               "COMP_CWORD": str(cword)}
        result = self.keelbox(env=env)
        self.assertEqual(result.returncode, 0, result)
        return result.stdout.splitlines()

    def test_answers_come_from_the_command_table(self):
        cases = [
            # (words before the cursor word joined by newlines as bash sends them, cword, expected)
            ("keelbox\nin", 1, ["plain,init", "plain,install"]),
            ("keelbox\n", 1, ["plain,download-examples", "plain,init", "plain,install",
                              "plain,modules"]),
            ("keelbox\n--", 1, ["plain,--version", "plain,--info", "plain,--help"]),
            ("keelbox\ninstall\n--", 2, ["plain,--yes", "plain,--requirements", "plain,--help"]),
            ("keelbox\ninstall\n-y\n--", 3, ["plain,--requirements", "plain,--help"]),
            ("keelbox\ninstall\n-r\n", 3, ["file,"]),
            ("keelbox\ndownload-examples\n-m\nx\n--m", 4, ["plain,--modules"]),
            ("keelbox\ninit\n--token\n", 3, []),
            ("keelbox\ninstall\nzvk", 2, []),
        ]
        for words, cword, expected in cases:
            with self.subTest(words=words):
                self.assertEqual(self.complete("bash", words, cword), expected)

    def test_zsh_and_fish_answers(self):
        self.assertEqual(self.complete("zsh", "keelbox in", 1),
                         ["plain", "init", "Initialize Keelbox.",
                          "plain", "install", "Install Keelbox modules and packages."])
        env = {"_KEELBOX_COMPLETE": "fish_complete", "COMP_WORDS": "keelbox install --y",
               "COMP_CWORD": "--y"}
        result = self.keelbox(env=env)
        self.assertEqual(result.stdout, "plain,--yes\tConfirm installation without prompting.\n")

    def test_scripts_are_printed_before_anything_else_runs(self):
        # Even a broken configuration (which stops every ordinary run) does not
        # get in the way, and no first-run notice is mixed into the script.
        self.user.config_dir.mkdir(parents=True)
        self.user.config_file.write_text("not [ toml")
        for shell, marker in [("bash", "complete -o nosort -F _keelbox_completion keelbox"),
                              ("zsh", "compdef _keelbox_completion keelbox"),
                              ("fish", "complete --no-files --command keelbox")]:
            with self.subTest(shell=shell):
                result = self.keelbox(env={"_KEELBOX_COMPLETE": f"{shell}_source"})
                self.assertEqual(result.returncode, 0, result)
                self.assertIn(marker, result.stdout)
                self.assertNotIn("No user profile", result.stdout)
                self.assertEqual(result.stderr, "")

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_a_script_that_cannot_be_written_is_a_failure(self):
        # eval "$(...)" or a redirect into a completions file on a full disk.
        for instruction in ("bash_source", "bash_complete"):
            with self.subTest(instruction=instruction):
                env = {**self.user.environ(), "_KEELBOX_COMPLETE": instruction,
                       "COMP_WORDS": "keelbox\n", "COMP_CWORD": "1"}
                with open("/dev/full", "wb") as full:
                    proc = subprocess.run([str(self.tool.exe)], stdout=full,
                                          stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                          env=env, timeout=60)
                self.assertEqual(proc.returncode, 1)

    @unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
    def test_tab_completes_in_a_real_bash(self):
        session = f"keelbox-{uuid.uuid4().hex[:8]}"
        env = self.user.environ()
        env["PATH"] = f"{self.tool.venv / 'bin'}:{env['PATH']}"
        env.pop("TMUX", None)
        subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "120", "-y", "30",
                        "bash --norc --noprofile"], env=env, check=True)
        self.addCleanup(subprocess.run, ["tmux", "kill-session", "-t", session],
                        stderr=subprocess.DEVNULL)

        def send(*keys):
            subprocess.run(["tmux", "send-keys", "-t", session, *keys], check=True)

        def screen_contains(pattern, timeout=10):
            deadline = time.monotonic() + timeout
            text = ""
            while time.monotonic() < deadline:
                text = subprocess.run(["tmux", "capture-pane", "-p", "-t", session],
                                      capture_output=True, text=True).stdout
                if re.search(pattern, text):
                    return text
                time.sleep(0.1)
            self.fail(f"{pattern!r} not on the screen:\n{text}")

        send('eval "$(_KEELBOX_COMPLETE=bash_source keelbox)"', "Enter")
        send("echo sourced", "Enter")
        screen_contains(r"(?m)^sourced$")
        send("keelbox in", "Tab", "Tab")
        screen_contains(r"init\s+install")
        send("C-u", "clear", "Enter")
        send("keelbox install --", "Tab", "Tab")
        text = screen_contains(r"--yes")
        self.assertIn("--requirements", text)
        self.assertIn("--help", text)


class ManualPageTest(ToolTestCase):
    def help_words(self, *command):
        """Command names and option names that a help screen shows."""
        result = self.keelbox(*command, "--help")
        self.assertEqual(result.returncode, 0, result)
        words = set(re.findall(r"(?m)^  (-{1,2}[\w-]+)", result.stdout))
        words |= set(re.findall(r"(?m)^  (?:-\w, )(--[\w-]+)", result.stdout))
        words |= set(re.findall(r"(?m)^  ([a-z][\w-]+)  ", result.stdout.split("Commands:")[-1])
                     if "Commands:" in result.stdout else [])
        return words

    @unittest.skipUnless(shutil.which("man"), "man is not installed")
    def test_page_shows_every_command_and_option_of_help(self):
        page = self.tool.venv / "share" / "man" / "man1" / "keelbox.1"
        self.assertTrue(page.is_file(), "the manual page is installed")
        text = subprocess.run(["man", "-P", "cat", "-l", str(page)], capture_output=True,
                              text=True, env={**os.environ, "MANWIDTH": "100"}).stdout
        text = text.replace("\u2010", "-").replace("\u2212", "-")
        words = self.help_words()
        self.assertGreaterEqual(words, {"--version", "--info", "--help", "download-examples",
                                        "init", "install", "modules"})
        for command in ["init", "modules", "install", "download-examples"]:
            words |= self.help_words(command)
        self.assertGreaterEqual(words, {"--token-id", "--token", "--cloud-environment", "-y",
                                        "--yes", "-r", "--requirements", "--download-dir", "-m",
                                        "--modules", "--list-available"})
        for word in sorted(words):
            with self.subTest(word=word):
                self.assertRegex(text, rf"(?<![\w-]){re.escape(word)}(?![\w-])")
        # Options without a help text on the screen are still described here.
        self.assertNotIn("(no description)", text)
        flat = " ".join(text.split())
        for option, words in [("--token-id TEXT", "The token id."),
                              ("--token TEXT", "The token secret."),
                              ("--cloud-environment TEXT", "The cloud environment:")]:
            with self.subTest(option=option):
                self.assertIn(f"{option} {words}", flat)


class NoColorTest(ToolTestCase):
    def test_no_color_removes_codes_on_a_terminal(self):
        args = ("init", "--token-id", "a", "--token", "b")
        coloured = self.keelbox_tty(*args)
        self.assertIn(ESC + "34m", coloured.stdout)
        for value, expect_codes in [("1", False), ("", True)]:
            with self.subTest(NO_COLOR=value):
                result = self.keelbox_tty(*args, env={"NO_COLOR": value})
                self.assertEqual(result.returncode, 0, result)
                self.assertEqual(ESC in result.stdout, expect_codes, result.stdout)


if __name__ == "__main__":
    unittest.main()
