"""What every test of the service needs: start the real binary as its parent
would, read the protocol line, and talk HTTP to it over raw sockets, so that
the bytes on the wire are the ones a test looks at."""

import atexit
import ctypes
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(HERE, "models"))

import gen_model  # noqa: E402

SERVICE = os.environ.get("SERVICE_BIN", os.path.join(ROOT, "build", "transcription-service"))
STANDIN = os.environ.get("STANDIN_LIB", os.path.join(ROOT, "build", "libstandin.so"))

CORS = [
    ("Access-Control-Allow-Origin", "*"),
    ("Access-Control-Allow-Methods", "GET, POST, OPTIONS"),
    ("Access-Control-Allow-Headers", "Content-Type"),
]

READY = b'{"ready":true}'
INVALID_AUDIO = b'{"success":false,"error":"invalid_audio"}'
INFERENCE_FAILED = b'{"success":false,"error":"inference_failed"}'


def success_body(text: bytes) -> bytes:
    return b'{"success":true,"text":"' + text + b'"}'


_model_dir = None


def model(name="default", **options):
    """A generated model file, made once per test process and reused."""
    global _model_dir
    if _model_dir is None:
        _model_dir = tempfile.mkdtemp(prefix="ts-models-")
        atexit.register(shutil.rmtree, _model_dir, ignore_errors=True)
    path = os.path.join(_model_dir, name + ".bin")
    if not os.path.exists(path):
        gen_model.write_model(path, **options)
    return path


def silence(seconds: float) -> bytes:
    return b"\0" * (4 * int(16000 * seconds))


def floats(values) -> bytes:
    return struct.pack("<%df" % len(values), *values)


def _die_with_parent():
    """A service must not outlive a test run that was killed or interrupted."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Service:
    """The binary, started with stdout on a pipe as the parent starts it."""

    def __init__(self, argv, env=None, cwd=None):
        full_env = dict(os.environ)
        full_env.update(env or {})
        # The speech library logs to stderr on every odd input; a pipe that
        # nobody drains would fill and block it inside a recognition, lock
        # held. A file never fills.
        self.stderr = tempfile.TemporaryFile(prefix="ts-stderr-")
        self.proc = subprocess.Popen(
            argv, stdout=subprocess.PIPE, stderr=self.stderr, env=full_env, cwd=cwd,
            preexec_fn=_die_with_parent)
        self.line = self._read_line(timeout=30)
        self.port = None
        if self.line.startswith(b"PORT:"):
            self.port = int(self.line[5:-1])

    def _read_line(self, timeout):
        fd = self.proc.stdout.fileno()
        data = b""
        deadline = time.monotonic() + timeout
        while not data.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            chunk = os.read(fd, 1)
            if not chunk:
                break
            data += chunk
        return data

    def stdout_so_far(self, wait=0.2):
        """Whatever the service wrote after its line, without blocking."""
        fd = self.proc.stdout.fileno()
        data = b""
        while select.select([fd], [], [], wait)[0]:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            data += chunk
        return data

    def alive(self):
        return self.proc.poll() is None

    def stderr_text(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()
        self.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def start(model_path, *extra, env=None):
    svc = Service([SERVICE, model_path, *extra], env=env)
    if svc.port is None:
        if svc.proc.poll() is None:
            svc.proc.kill()
            svc.proc.wait()
        err = svc.stderr_text()[-2000:]
        svc.stop()
        raise AssertionError("service did not start: %r\n%s" % (svc.line, err))
    return svc


def standin_env(**extra):
    """Environment that loads the stand-in for the model side of the speech
    library in front of the real one. A sanitizer's runtime must come first
    in the load order, so a sanitized build names it before the stand-in."""
    first = os.environ.get("TS_PRELOAD_FIRST")
    env = {"LD_PRELOAD": (first + ":" if first else "") + STANDIN}
    env.update(extra)
    return env


def start_standin(script_path, env=None):
    """The service with the stand-in in front; the 'model path' is its script."""
    return start(script_path, env=standin_env(**(env or {})))


def sockets(pid):
    """The process's sockets as the kernel lists them: (table, local address
    as hex "ADDR:PORT", state), found by the inodes behind its descriptors."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    found = []
    for table in ("tcp", "tcp6", "udp", "udp6"):
        with open("/proc/net/" + table) as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[9] in inodes:
                    found.append((table, fields[1], fields[3]))
    return found


class Response:
    def __init__(self, status, reason, headers, body, version):
        self.status = status
        self.reason = reason
        self.headers = headers  # list of (name, value) in wire order
        self.body = body
        self.version = version

    def all(self, name):
        return [v for k, v in self.headers if k.lower() == name.lower()]

    def get(self, name):
        values = self.all(name)
        return values[0] if values else None

    def cors(self):
        return [(k, v) for k, v in self.headers if k.lower().startswith("access-control-")]

    def __repr__(self):
        return "Response(%d, %r, %r)" % (self.status, self.headers, self.body[:200])


class Connection:
    """One kept-alive TCP connection; requests are raw bytes."""

    def __init__(self, port, timeout=30):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""

    def send(self, data: bytes):
        self.sock.sendall(data)

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("connection closed")
        self.buf += chunk

    def read_response(self, head=False):
        while b"\r\n\r\n" not in self.buf:
            self._fill()
        raw_head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        lines = raw_head.decode("latin-1").split("\r\n")
        version, status, reason = (lines[0].split(" ", 2) + [""])[:3]
        headers = [tuple(line.split(": ", 1)) for line in lines[1:]]
        resp = Response(int(status), reason, headers, b"", version)
        length = resp.get("Content-Length")
        if resp.status == 100:
            return resp
        if not head and length is not None:
            n = int(length)
            while len(self.buf) < n:
                self._fill()
            resp.body, self.buf = self.buf[:n], self.buf[n:]
        return resp

    def request(self, data: bytes, head=False):
        self.send(data)
        return self.read_response(head=head)

    def closed_by_peer(self, timeout=2.0):
        """True when the server ends the connection with nothing more."""
        self.sock.settimeout(timeout)
        try:
            return self.buf == b"" and self.sock.recv(1) == b""
        except (socket.timeout, ConnectionResetError):
            return False

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def request(port, data: bytes, head=False, timeout=30):
    with Connection(port, timeout=timeout) as c:
        return c.request(data, head=head)


def get(port, path, headers=""):
    return request(port, ("GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (path, headers)).encode())


def post(port, path, body: bytes, headers="", timeout=60):
    head = "POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n%s\r\n" % (path, len(body), headers)
    return request(port, head.encode() + body, timeout=timeout)


def transcribe(port, body: bytes, query="", headers="", timeout=60):
    return post(port, "/transcribe" + query, body, headers=headers, timeout=timeout)
