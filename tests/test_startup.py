"""Start-up and the line protocol to the parent: the one line on stdout, its
exact bytes, the exit status, and that a failed start never opens a socket."""

import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import support

STRACE = shutil.which("strace")


def run_traced(argv, cwd=None):
    """Runs the service to its end under strace, so that a test can tell that
    no socket was ever created, not only that none is left."""
    # LeakSanitizer cannot run under ptrace; it is the only sanitizer that
    # must stay out of these runs.
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    with tempfile.NamedTemporaryFile(prefix="ts-strace-") as trace:
        proc = subprocess.run(
            [STRACE, "-f", "-qq", "-e", "trace=socket", "-o", trace.name, *argv],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, cwd=cwd, env=env, timeout=60)
        calls = open(trace.name).read()
    return proc.returncode, proc.stdout, calls


def listening_ports(pid):
    """The TCP sockets in LISTEN that the process holds, as (address, port)."""
    found = []
    for table, local, state in support.sockets(pid):
        if table.startswith("tcp") and state == "0A":
            addr, port = local.split(":")
            found.append((addr, int(port, 16)))
    return found


def long_path(base: bytes, n: int) -> bytes:
    """A path of exactly n bytes under base, in components short enough for
    the system to look up (and not find)."""
    path = base
    while len(path) < n:
        path += b"/" + b"d" * min(200, n - len(path) - 1)
    return path


class BadStarts(unittest.TestCase):
    """Every failed start: exactly one ERROR line, status 1, no socket."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="ts-startup-")
        cls.broken = {}
        for kind in ("empty", "bad-magic", "cut-tensors"):
            path = os.path.join(cls.dir, kind + ".bin")
            support.gen_model.write_model(path, broken=kind)
            cls.broken[kind] = path

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_missing_argument(self):
        rc, out, calls = run_traced([support.SERVICE])
        self.assertEqual(out, b"ERROR:missing model path argument\n")
        self.assertEqual(rc, 1)
        self.assertNotIn("socket(", calls)

    def test_empty_argument_vector(self):
        # No shell or subprocess helper will exec with argc == 0, so do it by
        # hand in a child: the service must not read argv[1] past the end.
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.dup2(w, 1)
            libc = ctypes.CDLL(None, use_errno=True)
            argv = (ctypes.c_char_p * 1)(None)
            envp = (ctypes.c_char_p * 1)(None)
            libc.execve(support.SERVICE.encode(), argv, envp)
            os._exit(127)
        os.close(w)
        out = b""
        while True:
            chunk = os.read(r, 4096)
            if not chunk:
                break
            out += chunk
        os.close(r)
        _, status = os.waitpid(pid, 0)
        self.assertEqual(out, b"ERROR:missing model path argument\n")
        self.assertEqual(os.waitstatus_to_exitcode(status), 1)

    def test_model_that_does_not_load(self):
        odd_dir = os.path.join(self.dir, "dir with spaces \xe9\u2713")
        os.makedirs(odd_dir, exist_ok=True)
        odd = os.path.join(odd_dir, "m\xf6del.bin")
        shutil.copy(self.broken["bad-magic"], odd)
        raw = os.fsencode(self.dir) + b"/latin1-\xe9-\xff.bin"  # not UTF-8 at all
        cases = [
            ("missing file", os.fsencode(self.dir) + b"/nothing-here.bin"),
            ("empty path", b""),
            ("empty file", os.fsencode(self.broken["empty"])),
            ("bad magic", os.fsencode(self.broken["bad-magic"])),
            ("cut inside the tensor headers", os.fsencode(self.broken["cut-tensors"])),
            ("spaces and UTF-8 in the path", os.fsencode(odd)),
            ("bytes that are not UTF-8", raw),
            ("a line feed in the path", os.fsencode(self.dir) + b"/two\nlines.bin"),
            ("a directory", os.fsencode(self.dir)),
        ]
        # Past about 1000 bytes the library's log line about the failure once
        # ended the process before the line was written.
        for n in (1000, 1010, 1100, 2000):
            cases.append(("a path of %d bytes" % n, long_path(os.fsencode(self.dir), n)))
        for name, path in cases:
            with self.subTest(name):
                rc, out, calls = run_traced([os.fsencode(support.SERVICE), path])
                self.assertEqual(out, b"ERROR:failed to load model at " + path + b"\n")
                self.assertEqual(rc, 1)
                self.assertNotIn("socket(", calls)

    def test_relative_path_is_resolved_against_the_working_directory(self):
        rc, out, _ = run_traced([support.SERVICE, "bad-magic.bin"], cwd=self.dir)
        self.assertEqual(out, b"ERROR:failed to load model at bad-magic.bin\n")
        with support.Service([support.SERVICE, os.path.basename(support.model())],
                             cwd=os.path.dirname(support.model())) as svc:
            self.assertRegex(svc.line, rb"^PORT:[1-9][0-9]*\n$")

    def test_extra_arguments_are_ignored_on_failure(self):
        rc, out, _ = run_traced([support.SERVICE, self.broken["empty"], "--port", "80", "x"])
        self.assertEqual(out, b"ERROR:failed to load model at " + os.fsencode(self.broken["empty"]) + b"\n")
        self.assertEqual(rc, 1)

    def test_no_port_to_bind(self):
        script = os.path.join(self.dir, "bind.script")
        with open(script, "w") as f:
            f.write("log=%s\n" % os.path.join(self.dir, "bind.log"))
        proc = subprocess.run([support.SERVICE, script], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=60,
                              env=dict(os.environ, **support.standin_env(STANDIN_FAIL_BIND="1")))
        self.assertEqual(proc.stdout, b"ERROR:failed to bind to a port\n")
        self.assertEqual(proc.returncode, 1)
        # The context is left to the process exit, never freed by hand here.
        log = open(os.path.join(self.dir, "bind.log")).read()
        self.assertIn('"init"', log)
        self.assertNotIn('"free"', log)


class GoodStart(unittest.TestCase):
    def test_one_port_line_then_silence_while_serving(self):
        with support.start(support.model()) as svc:
            self.assertRegex(svc.line, rb"^PORT:[1-9][0-9]{0,4}\n$")
            self.assertLessEqual(svc.port, 65535)
            self.assertEqual(listening_ports(svc.proc.pid), [("0100007F", svc.port)])
            self.assertEqual(support.get(svc.port, "/status").body, support.READY)
            support.transcribe(svc.port, support.silence(1))
            support.transcribe(svc.port, support.silence(1), query="?lang=xx")
            support.transcribe(svc.port, b"\0" * 4)
            self.assertEqual(svc.stdout_so_far(), b"")
            self.assertTrue(svc.alive())

    def test_extra_arguments_are_ignored(self):
        with support.start(support.model(), "--port", "80", "-h") as svc:
            self.assertRegex(svc.line, rb"^PORT:[1-9][0-9]*\n$")
            self.assertNotEqual(svc.port, 80)
            self.assertEqual(support.get(svc.port, "/status").body, support.READY)

    def test_connection_right_after_the_line_is_served(self):
        # The socket listens before the line is written, so a parent that
        # connects the instant it reads the port must not be refused.
        for _ in range(5):
            with support.start(support.model()) as svc:
                resp = support.get(svc.port, "/status")
                self.assertEqual((resp.status, resp.body), (200, support.READY))

    def test_two_services_get_two_ports(self):
        with support.start(support.model()) as a, support.start(support.model()) as b:
            self.assertNotEqual(a.port, b.port)

    def test_terminating_signal_ends_it_without_a_word(self):
        with support.start(support.model()) as svc:
            svc.proc.send_signal(signal.SIGTERM)
            self.assertEqual(svc.proc.wait(timeout=10), -signal.SIGTERM)
            self.assertEqual(svc.proc.stdout.read(), b"")

    def test_accept_loop_that_ends_frees_the_model_and_exits_0(self):
        d = tempfile.mkdtemp(prefix="ts-accept-")
        try:
            script, log = os.path.join(d, "script"), os.path.join(d, "log")
            with open(script, "w") as f:
                f.write("log=%s\n" % log)
            svc = support.start(script, env=support.standin_env(STANDIN_FAIL_ACCEPT="1"))
            with svc:
                resp = support.get(svc.port, "/status", headers="Connection: close\r\n")
                self.assertEqual(resp.body, support.READY)
                socket.create_connection(("127.0.0.1", svc.port)).close()  # the accept that fails
                self.assertEqual(svc.proc.wait(timeout=30), 0)
                self.assertEqual(svc.proc.stdout.read(), b"")
            events = [line for line in open(log).read().splitlines()]
            self.assertEqual(sum('"event":"free"' in e for e in events), 1)
            self.assertIn('"ctx_ok":true', events[-1])
        finally:
            shutil.rmtree(d)

    def test_parent_that_closed_stdout_does_not_kill_it(self):
        # The port line then goes into a closed pipe; the server already
        # ignores SIGPIPE by that point, so the write fails and it serves on.
        proc = subprocess.Popen([support.SERVICE, support.model()],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        proc.stdout.close()
        try:
            deadline = time.monotonic() + 30
            ports = []
            while not ports and time.monotonic() < deadline and proc.poll() is None:
                time.sleep(0.05)
                ports = listening_ports(proc.pid)
            self.assertEqual(len(ports), 1, "no listening socket")
            time.sleep(0.2)  # past the port line
            self.assertIsNone(proc.poll())
            self.assertEqual(support.get(ports[0][1], "/status").body, support.READY)
        finally:
            proc.kill()
            proc.wait()


if __name__ == "__main__":
    unittest.main(verbosity=2)
