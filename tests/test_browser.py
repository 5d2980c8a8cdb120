"""A real browser as the client: headless Chromium loads a page from another
origin on loopback, and the page calls the service with fetch. Only the
browser decides whether a cross-origin answer may be read, so this is where
the service's CORS headers and preflight answer are judged as a web view
would judge them. The page posts what it could read back to the server that
served it; that report is what the tests look at."""

import http.server
import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import support

PAGE_DIR = os.path.join(support.HERE, "browser")
CHROMIUM = shutil.which("chromium")

# A quote and non-ASCII letters: the browser must get the JSON escaping and
# the UTF-8 bytes back as the very characters the model produced.
SPOKEN = ' Browser says "hi" \u2014 caf\u00e9.'
EXPECTED_TEXT = SPOKEN.strip()

# The model load, the page, three fetches and a recognition of one second
# take a few seconds; this bounds a browser that never reports.
REPORT_TIMEOUT = 90

# Without the networking switches Chromium keeps dialing out at start, and on
# a closed network those connections are refused; the sandbox cannot run as
# root; a fresh profile keeps runs from sharing a cache.
CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
    "--disable-background-networking", "--disable-component-update",
    "--disable-sync", "--disable-quic", "--disable-extensions",
    "--enable-logging=stderr", "--v=0",
]


class PageServer(http.server.ThreadingHTTPServer):
    """Serves the test page and takes the page's one report."""

    daemon_threads = True

    def __init__(self):
        self.reports = queue.Queue()
        super().__init__(("127.0.0.1", 0), PageHandler)


class PageHandler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=PAGE_DIR, **kwargs)

    def do_POST(self):
        if self.path != "/result":
            self.send_error(404)
            return
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(204)
        self.end_headers()
        self.server.reports.put(body)

    def log_message(self, *args):
        pass


def end_group(proc, timeout=30):
    """Kills the process and everything it forked into its session, and waits
    until the last of them is gone, so no helper outlives the test."""
    deadline = time.monotonic() + timeout
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait(timeout=timeout)
    while time.monotonic() < deadline:
        try:
            os.killpg(proc.pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)


def run_page(service_port):
    """Loads the page in Chromium and returns (report, chromium's stderr).
    Chromium is ended in every path, with all the processes it started."""
    server = PageServer()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    profile = tempfile.mkdtemp(prefix="ts-chromium-")
    url = "http://127.0.0.1:%d/index.html?port=%d" % (server.server_port, service_port)
    log = tempfile.TemporaryFile()
    browser = subprocess.Popen(
        [CHROMIUM, *CHROMIUM_FLAGS, "--user-data-dir=" + profile, url],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    try:
        try:
            raw = server.reports.get(timeout=REPORT_TIMEOUT)
        except queue.Empty:
            raw = None
    finally:
        # Its own session holds every renderer and helper it forked.
        end_group(browser)
        server.shutdown()
        server.server_close()
        shutil.rmtree(profile, ignore_errors=True)
    log.seek(0)
    stderr = log.read().decode(errors="replace")
    log.close()
    return (json.loads(raw) if raw is not None else None), stderr


S = None
REPORT = None


def setUpModule():
    global S, REPORT
    if CHROMIUM is None:
        raise AssertionError(
            "chromium is not installed; scripts/setup installs it (Debian package 'chromium')")
    S = support.start(support.model("browser", segments=[SPOKEN.encode()]))
    try:
        report, stderr = run_page(S.port)
        if report is None:
            raise AssertionError("the page sent no report within %d s; chromium said:\n%s"
                                 % (REPORT_TIMEOUT, stderr[-4000:]))
    except BaseException:
        # A failed setUpModule gets no tearDownModule.
        S.stop()
        raise
    REPORT = report


def tearDownModule():
    if S is not None:
        S.stop()


class CrossOriginFetch(unittest.TestCase):
    def step(self, name):
        self.assertNotIn("fatal", REPORT)
        return REPORT["steps"][name]

    def test_page_is_on_another_origin(self):
        # Same origin would need no CORS at all and prove nothing.
        self.assertNotEqual(REPORT["origin"], "http://127.0.0.1:%d" % S.port)

    def test_readable_answers(self):
        # What the page could read of each answer; a missing or wrong header
        # on any of them, or a failed preflight before a POST, shows up here
        # as a TypeError instead of a response.
        text = json.dumps(EXPECTED_TEXT, ensure_ascii=False)[1:-1]
        cases = [
            ("status", 200, support.READY.decode()),
            ("transcribe", 200, '{"success":true,"text":"%s"}' % text),
            ("bad_audio", 400, support.INVALID_AUDIO.decode()),
        ]
        for name, status, body in cases:
            with self.subTest(name):
                got = self.step(name)
                self.assertTrue(got["ok"], got)
                self.assertEqual(got["status"], status)
                self.assertEqual(got["contentType"], "application/json")
                self.assertEqual(got["body"], body)

    def test_text_shown_in_the_page(self):
        self.assertEqual(json.loads(self.step("transcribe")["body"])["text"], EXPECTED_TEXT)
        self.assertEqual(REPORT["dom"], EXPECTED_TEXT)

    def test_browser_refuses_a_header_the_preflight_does_not_allow(self):
        got = self.step("custom_header")
        self.assertFalse(got["ok"], got)
        self.assertTrue(got["error"].startswith("TypeError"), got)
        # The service is still fine after the refused preflight.
        self.assertEqual(support.get(S.port, "/status").body, support.READY)


if __name__ == "__main__":
    unittest.main(verbosity=2)
