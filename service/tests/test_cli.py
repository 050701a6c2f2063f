"""Command lines the service refuses, and --self-check."""

import os
import subprocess
import unittest

from harness import CHILD_PATH, DEADLINE, ENTRIES, PROGRAM, PYTHON, ServiceTestCase, make_bundle


class CommandLine(ServiceTestCase):
    def test_bad_arguments_print_usage_and_exit_2(self):
        root = os.path.join(self.top, "root")
        tail = ["--no-browser", "--port", "0"]
        cases = (
            [],
            ["--help"],
            ["--data-dir"],
            ["--data-dir", ""],
            ["--data-dir", "relative/root"],
            ["--data-dir=" + root],
            ["--DATA-DIR", root],
            ["--data-dir", root, "--no-browser"],
            ["--data-dir", root, "--data-dir", root],
            ["--data-root", root],
            ["--data-root", root, "--no-browser"],
            ["--data-root", root, "--no-browser", "--port", "8080"],
            ["--data-root", root, "--port", "0", "--no-browser"],
            ["--data-root", "relative/root"] + tail,
            ["--data-root", root] + tail + ["--cold-start", "--new-workspace"],
            ["--data-root", root] + tail + ["--new-workspace", "--new-workspace"],
            ["--data-root", root] + tail + ["--self-check"],
            ["--data-root", root] + tail + ["--data-dir", root],
            ["--self-check", "--data-dir", root],
            ["--self-check", "--self-check"],
        )
        for args in cases:
            for entry in ENTRIES:
                with self.subTest(entry=entry, args=args):
                    service = self.start(entry, args)
                    self.assertEqual(service.rest(), [])
                    self.assertEqual(service.wait(), 2)
                    self.assertTrue(service.log().startswith("usage: "), service.log())
        self.assertFalse(os.path.exists(root))
        self.assertFalse(os.path.exists(os.path.join(self.bundle, "relative")))

    def run_self_check(self, script):
        """As the launcher runs it: only three variables, its own working directory, stdin on
        /dev/null, and the report on standard output."""
        env = {"HOME": self.home, "PATH": CHILD_PATH, "PYTHONDONTWRITEBYTECODE": "1"}
        result = subprocess.run([PYTHON, "-I", "-B", script, "--self-check"], cwd=self.tmpdir, env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=DEADLINE)
        return result.returncode, result.stdout.decode("utf-8").splitlines(), result.stderr

    def test_self_check_passes_in_a_complete_bundle(self):
        for entry, path in ENTRIES.items():
            with self.subTest(entry=entry):
                status, lines, errors = self.run_self_check(os.path.join(self.bundle, *path))
                self.assertEqual(status, 0, lines)
                self.assertEqual(errors, b"")
                self.assertRegex(lines[0], r"^ok   python 3\.[0-9]+\.[0-9]+")
                for other in ENTRIES.values():
                    self.assertIn("ok   entry " + "/".join(other), lines)
                self.assertIn("ok   bundle " + self.bundle, lines)
                self.assertEqual(lines[-1], "ok   self-check passed")
                self.assertFalse([line for line in lines if not line.startswith("ok ")], lines)

    def test_self_check_fails_when_an_entry_is_missing(self):
        for present, missing in (("preview", "connected"), ("connected", "preview")):
            with self.subTest(missing=missing):
                bundle = make_bundle(os.path.join(self.top, "without-" + missing))
                os.unlink(os.path.join(bundle, *ENTRIES[missing]))
                status, lines, _ = self.run_self_check(os.path.join(bundle, *ENTRIES[present]))
                self.assertEqual(status, 1, lines)
                self.assertIn("FAIL entry %s missing" % "/".join(ENTRIES[missing]), lines)
                self.assertIn("ok   entry " + "/".join(ENTRIES[present]), lines)
                self.assertEqual(lines[-1], "FAIL self-check failed")

    def test_self_check_outside_a_bundle_skips_the_entries(self):
        status, lines, _ = self.run_self_check(PROGRAM)
        self.assertEqual(status, 0, lines)
        self.assertIn("--   not inside a bundle layout; entry paths not checked", lines)
        self.assertEqual(lines[-1], "ok   self-check passed")


if __name__ == "__main__":
    unittest.main()
