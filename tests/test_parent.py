"""A real parent process: parent/parent.js does in Node.js what the desktop
shell does (spawn with a model path, read the first stdout line, probe, send
audio, SIGTERM, wait), so the line protocol and the shutdown are checked
through another runtime's pipes and HTTP client, not only through ours."""

import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

import support

NODE = shutil.which("node")
PARENT = os.path.join(support.HERE, "parent", "parent.js")

EXIT_OK, EXIT_START_ERROR = 0, 2


def run_parent(model_path):
    """Runs parent.js to its end; returns (exit status, its report, its stderr)."""
    proc = subprocess.run(
        [NODE, PARENT, support.SERVICE, model_path],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    out = proc.stdout.decode()
    try:
        report = json.loads(out)
    except ValueError:
        raise AssertionError("parent.js printed no report (status %d):\n%s\n%s"
                             % (proc.returncode, out, proc.stderr.decode(errors="replace")[-3000:]))
    return proc.returncode, report, proc.stderr.decode(errors="replace")


def setUpModule():
    if NODE is None:
        raise AssertionError("node is not installed; scripts/setup installs it (Debian package 'nodejs')")


class Parent(unittest.TestCase):
    def assert_only_the_line(self, report):
        # Everything the child wrote to stdout until it was gone: the
        # protocol line and its newline, and not one byte more.
        self.assertEqual(report["extraStdout"], "")
        self.assertEqual(report["stdoutBytes"], len(report["line"].encode()) + 1)

    def test_session_from_start_to_sigterm(self):
        path = support.model("parent", segments=[b" Shell", b" says hi."])
        status, report, stderr = run_parent(path)
        self.assertEqual(status, EXIT_OK, (report, stderr[-3000:]))
        self.assertRegex(report["line"], r"^PORT:[1-9][0-9]*$")
        self.assertEqual(report["status"], {"status": 200, "json": {"ready": True}})
        self.assertEqual(report["transcribe"],
                         {"status": 200, "json": {"success": True, "text": "Shell says hi."}})
        self.assert_only_the_line(report)

        # Ended by the SIGTERM (or a clean exit on it), not the fallback kill.
        self.assertNotIn("killed", report)
        self.assertTrue(report["exit"] == {"code": None, "signal": "SIGTERM"}
                        or report["exit"] == {"code": 0, "signal": None}, report["exit"])
        self.assertFalse(os.path.exists("/proc/%d" % report["childPid"]),
                         "the service outlived its parent")
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", report["port"]), timeout=5).close()

    def test_failed_start_is_reported_as_such(self):
        workdir = tempfile.mkdtemp(prefix="ts-parent-")
        broken = os.path.join(workdir, "bad-magic.bin")
        support.gen_model.write_model(broken, broken="bad-magic")
        cases = [
            ("missing", os.path.join(workdir, "no such model.bin")),
            ("unreadable format", broken),
        ]
        for name, path in cases:
            with self.subTest(name):
                status, report, stderr = run_parent(path)
                line = "ERROR:failed to load model at " + path
                self.assertEqual(status, EXIT_START_ERROR, (report, stderr[-3000:]))
                self.assertEqual(report["line"], line)
                self.assertIn(line, stderr.splitlines())
                self.assert_only_the_line(report)
                self.assertNotIn("port", report)
                # It left by itself with status 1; the parent had nothing to end.
                self.assertEqual(report["exit"], {"code": 1, "signal": None})
                self.assertNotIn("killed", report)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
