"""Answers from the services and the contents of archives are untrusted: what
keelbox accepts from them, and how it shows their text."""
from __future__ import annotations

import shutil
import unittest

from harness import ToolTestCase
from sandbox_cloud import Sandbox

TOKEN_REFUSED = "Error: The token service sent an access token that cannot be used: "


class AccessTokenTest(ToolTestCase):
    """The access token goes into a header line of every core request."""

    def setUp(self) -> None:
        super().setUp()
        self.write_profile(token_id="id-1", token="secret-1")

    def run_with_token(self, token: str):
        shutil.rmtree(self.user.cache_dir, ignore_errors=True)
        sandbox = Sandbox({"accept_any_token": True})
        sandbox.start()
        self.addCleanup(sandbox.stop)
        sandbox.set_override("token", status=200, body={"access_token": token, "token_type": "Bearer",
                                                        "expires_in": 1800})
        runs = [self.keelbox("download-examples", "--list-available", env=sandbox.env)
                for _ in range(2)]
        return sandbox, runs

    def test_unusable_tokens_are_refused_and_never_remembered(self):
        cases = [
            ("header injection", "abc\r\nX-Injected: yes", "it holds characters a bearer token "
                                                            "cannot hold."),
            ("two megabytes", "a" * (2 * 1024 * 1024), "it is longer than 16384 bytes."),
            ("empty", "", "it is empty."),
            ("space inside", "abc def", "it holds characters a bearer token cannot hold."),
            ("padding inside", "ab=c", "it holds characters a bearer token cannot hold."),
            ("only padding", "==", "it holds characters a bearer token cannot hold."),
        ]
        for label, token, reason in cases:
            with self.subTest(label):
                sandbox, runs = self.run_with_token(token)
                for r in runs:
                    self.assertEqual(r.returncode, 1, r)
                    self.assertIn(TOKEN_REFUSED + reason + "\n", r.stderr)
                # Nothing reached the core service, and the second run asked
                # for a token again: the refused one was not stored.
                self.assertEqual(sandbox.requests(service="core"), [])
                self.assertEqual(len(sandbox.requests(path="/oauth/token")), 2)

    def test_every_character_a_bearer_token_may_hold_is_accepted(self):
        longest = "A" * 16382 + "=="
        for token in ("aZ09-._~+/==", "x", longest):
            with self.subTest(length=len(token)):
                sandbox, runs = self.run_with_token(token)
                for r in runs:
                    self.assertEqual(r.returncode, 0, r)
                self.assertEqual(len(sandbox.requests(path="/oauth/token")), 1)
                auth = [dict(req["headers"]).get("Authorization")
                        for req in sandbox.requests(service="core")]
                self.assertTrue(auth)
                self.assertEqual(set(auth), {"Bearer " + token})


if __name__ == "__main__":
    unittest.main()
