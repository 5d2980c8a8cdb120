"""POST /transcribe on the real speech library, with generated models whose
recognised text is chosen: every byte of the reply that the parent reads."""

import hashlib
import math
import os
import struct
import threading
import time
import unittest

import support

HELLO = support.success_body(b"Hello world.")


def expected_escape(text: bytes) -> bytes:
    """How a JSON string must carry raw bytes: the few escapes JSON requires,
    every other byte as it is (UTF-8 or not)."""
    short = {0x22: b'\\"', 0x5C: b"\\\\", 0x09: b"\\t", 0x0A: b"\\n", 0x0D: b"\\r"}
    out = b""
    for c in text:
        if c in short:
            out += short[c]
        elif c < 0x20:
            out += b"\\u%04x" % c
        else:
            out += bytes([c])
    return out


def sine(seconds, freq=440.0, amplitude=0.3):
    n = int(16000 * seconds)
    return struct.pack("<%df" % n, *(amplitude * math.sin(2 * math.pi * freq * i / 16000) for i in range(n)))


# Bodies that are no audio: the library would take seconds to minutes over
# them, lock held, and answer a row of "!". Refused before the lock.
NAN = struct.pack("<f", math.nan)
NO_AUDIO = [
    ("all NaN", NAN * 16000),
    ("all +infinity", struct.pack("<f", math.inf) * 16000),
    ("-infinity among silence", support.silence(0.5) + struct.pack("<f", -math.inf) + support.silence(0.5)),
    ("one NaN among a sine", sine(0.5) + NAN + sine(0.5)),
    ("a sine past the spectrogram's range", sine(1, amplitude=1e18)),
    ("a sine just past the bound", sine(1, amplitude=1.01e12)),
]


class Text(unittest.TestCase):
    """The joined segment texts, trimmed and escaped, byte for byte."""

    def assert_reply(self, segments, text, audio=None, query="?lang=en"):
        key = hashlib.sha1(repr(segments).encode()).hexdigest()[:16]
        path = support.model("text-" + key, segments=segments)
        with support.start(path) as svc:
            resp = support.transcribe(svc.port, audio or support.silence(1), query=query)
            self.assertEqual(resp.status, 200)
            self.assertEqual(resp.get("Content-Type"), "application/json")
            self.assertEqual(resp.body, support.success_body(text))
            self.assertEqual(resp.get("Content-Length"), str(26 + len(text)))
            self.assertCountEqual(resp.cors(), support.CORS)

    def test_cleaning_table(self):
        cases = [
            ("a leading space goes", [b" Hello world."], b"Hello world."),
            ("all four trim bytes at both ends", [b" \t\n\r x y \r\n\t "], b"x y"),
            ("segments joined with nothing between", [b" one", b" two,", b"three"], b"one two,three"),
            ("trim bytes between segments stay", [b"a \n", b"\t b"], b"a \\n\\t b"),
            ("quote and backslash at the end", [b'say "hi"\\'], b'say \\"hi\\"\\\\'),
            ("line feed and tab inside", [b"a\n\tb"], b"a\\n\\tb"),
            ("carriage return inside", [b"a\rb"], b"a\\rb"),
            ("form feed and vertical tab are no trim bytes", [b"\x0cx\x0b"], b"\\u000cx\\u000b"),
            ("other control bytes in lower-case hex", [b"\x01\x08\x1b\x1f."],
             b"\\u0001\\u0008\\u001b\\u001f."),
            ("0x7f, 0xff and the slash pass", [b"\x7f/\xff"], b"\x7f/\xff"),
            ("multi-byte UTF-8 passes", [" h\u00e9llo \u2713 \u65e5\u672c".encode()],
             "h\u00e9llo \u2713 \u65e5\u672c".encode()),
            ("invalid UTF-8 passes unrepaired", [b"\xc3\x28\xa0\xa1\x80\xfe"], b"\xc3\x28\xa0\xa1\x80\xfe"),
            ("a no-break space is kept", [b"  \xc2\xa0  "], b"\xc2\xa0"),
            ("a single space", [b" "], b""),
            ("a line feed and a tab", [b"\n\t"], b""),
            ("no segment at all", [], b""),
        ]
        for name, segments, text in cases:
            with self.subTest(name):
                self.assert_reply(segments, text)

    def test_every_byte_value(self):
        # One pass over 0x01..0xff (NUL cannot come back from the library),
        # framed so that trimming does not touch the ends.
        raw = bytes(range(1, 256))
        self.assert_reply([b"[" + raw[:120], raw[120:] + b"]"], b"[" + expected_escape(raw) + b"]")

    def test_language_does_not_change_the_text(self):
        for query in ("", "?lang=en", "?lang=de", "?lang=german", "?lang=xx", "?lang="):
            with self.subTest(query=query):
                self.assert_reply([b" Hello world."], b"Hello world.", audio=sine(1), query=query)


class Recognition(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.svc = support.start(support.model())

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()

    def test_audio_lengths(self):
        for seconds in (1, 10, 30):
            for audio in (support.silence(seconds), sine(seconds)):
                with self.subTest(seconds=seconds):
                    resp = support.transcribe(self.svc.port, audio, query="?lang=en")
                    self.assertEqual((resp.status, resp.body), (200, HELLO))

    def test_kept_alive_connection_serves_recognitions_in_a_row(self):
        with support.Connection(self.svc.port) as c:
            body = support.silence(1)
            head = b"POST /transcribe HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body)
            for _ in range(5):
                self.assertEqual(c.request(head + body).body, HELLO)

    def test_library_failure_is_502_and_the_next_request_works(self):
        # One sample with language detection: the library returns -3.
        resp = support.transcribe(self.svc.port, b"\0\0\0\0")
        self.assertEqual(resp.status, 502)
        self.assertEqual(resp.body, support.INFERENCE_FAILED)
        self.assertEqual(len(resp.body), 44)
        self.assertEqual(resp.get("Content-Type"), "application/json")
        self.assertCountEqual(resp.cors(), support.CORS)
        resp = support.transcribe(self.svc.port, support.silence(1))
        self.assertEqual((resp.status, resp.body), (200, HELLO))

    def test_short_inputs_are_recognised_not_refused(self):
        # Valid bodies too short for any segment: the library reads 200
        # samples past the start whatever the count, which must stay inside
        # the service's own buffer (a sanitized build would see it).
        for n in (1, 2, 50, 200, 201, 1000):
            with self.subTest(samples=n):
                resp = support.transcribe(self.svc.port, support.floats([0.25] * n), query="?lang=en")
                self.assertEqual((resp.status, resp.body), (200, support.success_body(b"")))

    def test_invalid_bodies(self):
        for n in (0, 1, 2, 3, 5, 6, 7, 4001):
            with self.subTest(length=n):
                resp = support.transcribe(self.svc.port, b"\x01" * n)
                self.assertEqual(resp.status, 400)
                self.assertEqual(resp.body, support.INVALID_AUDIO)
                self.assertEqual(len(resp.body), 41)
                self.assertEqual(resp.get("Content-Type"), "application/json")

    def test_samples_that_are_no_audio_are_refused(self):
        for name, body in NO_AUDIO:
            with self.subTest(name):
                resp = support.transcribe(self.svc.port, body, query="?lang=en")
                self.assertEqual((resp.status, resp.body), (400, support.INVALID_AUDIO))
        # Any ordinary scale is audio: floats, 16-bit and 32-bit integer
        # full scale, and the bound itself.
        for amplitude in (0.3, 1000.0, 32768.0, 2.0 ** 31, 1e12):
            with self.subTest(amplitude=amplitude):
                resp = support.transcribe(self.svc.port, sine(1, amplitude=amplitude), query="?lang=en")
                self.assertEqual((resp.status, resp.body), (200, HELLO))

    def test_long_language_values(self):
        # Lengths around the library's 1024-byte log line, where one unknown
        # name once ended the process. Past any name the library knows, a
        # value means detection without being handed to the library at all:
        # its "unknown language" line never names it.
        for n in [*range(980, 1041), 1500, 1876, 8000]:
            with self.subTest(length=n):
                value = ("%04d" % n) + "x" * (n - 4)
                resp = support.transcribe(self.svc.port, support.silence(1), query="?lang=" + value)
                self.assertEqual((resp.status, resp.body), (200, HELLO))
                self.assertNotIn(value[:40], self.svc.stderr_text())
        self.assertTrue(self.svc.alive())
        support.transcribe(self.svc.port, support.silence(1), query="?lang=xx")
        self.assertIn("unknown language 'xx'", self.svc.stderr_text())

    def test_range_requests(self):
        ranged = "Range: bytes=0-9\r\n"
        resp = support.transcribe(self.svc.port, support.silence(1), query="?lang=en", headers=ranged)
        self.assertEqual(resp.status, 206)
        self.assertEqual(resp.body, HELLO[:10])
        self.assertEqual(resp.get("Content-Range"), "bytes 0-9/%d" % len(HELLO))
        resp = support.transcribe(self.svc.port, support.silence(1), query="?lang=en",
                                  headers="Range: bytes=500-600\r\n")
        self.assertEqual((resp.status, resp.body), (416, b""))
        # Failure replies are not ranges of anything: whole, with their status.
        resp = support.transcribe(self.svc.port, b"\0\0\0", headers=ranged)
        self.assertEqual((resp.status, resp.body), (400, support.INVALID_AUDIO))
        resp = support.transcribe(self.svc.port, b"\0\0\0\0", headers=ranged)
        self.assertEqual((resp.status, resp.body), (502, support.INFERENCE_FAILED))

    def test_several_clients_at_once(self):
        results = {}

        def client(i):
            audio = support.silence(1 + i % 4) if i % 2 else sine(1 + i % 3)
            results[i] = support.transcribe(self.svc.port, audio, query="?lang=en")

        threads = [threading.Thread(target=client, args=(i,)) for i in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(sorted(results), list(range(12)))
        for i, resp in results.items():
            self.assertEqual((resp.status, resp.body), (200, HELLO), i)


class Exception_(unittest.TestCase):
    def test_exception_in_the_library_is_500_and_frees_the_lock(self):
        with support.start(support.model("no-space", no_space_token=True)) as svc:
            for _ in range(2):  # the second call would hang if the lock stayed held
                resp = support.transcribe(svc.port, support.silence(1), query="?lang=en", timeout=30)
                self.assertEqual(resp.status, 500)
                self.assertIsNotNone(resp.get("EXCEPTION_WHAT"))
                self.assertEqual(resp.body, b"")
                self.assertCountEqual(resp.cors(), support.CORS)
            self.assertEqual(support.transcribe(svc.port, b"\0").body, support.INVALID_AUDIO)
            self.assertTrue(svc.alive())


def cpu_seconds(pid):
    """User and system time the process has run, all threads together. It
    grows only while the process computes, however busy the machine is, so
    it orders events where wall-clock time would not."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class DuringALongRecognition(unittest.TestCase):
    """A recognition of ten 30 s windows on a model of a real model's shape
    holds the lock for seconds; nothing that does not need the model may wait
    for it."""

    def test_probes_and_invalid_bodies_do_not_wait(self):
        path = support.model("big", n_state=384, n_head=6, n_audio_layer=4, n_text_layer=4)
        with support.start(path) as svc:
            pid = svc.proc.pid
            done = {}

            def long_one():
                done["resp"] = support.transcribe(svc.port, support.silence(300), query="?lang=en",
                                                  timeout=600)
                done["cpu"] = cpu_seconds(pid)

            start = cpu_seconds(pid)
            t = threading.Thread(target=long_one)
            t.start()
            # Receiving and checking the body costs some milliseconds of CPU;
            # a whole second means the recognition runs, lock held.
            deadline = time.monotonic() + 300
            while cpu_seconds(pid) < start + 1.0:
                self.assertLess(time.monotonic(), deadline, "the recognition never started")
                time.sleep(0.01)
            answered = []
            for body in [b"\x02" * n for n in (0, 1, 2, 3, 5, 6, 7)] + [body for _, body in NO_AUDIO]:
                resp = support.transcribe(svc.port, body)
                self.assertEqual((resp.status, resp.body), (400, support.INVALID_AUDIO))
                answered.append(cpu_seconds(pid))
            resp = support.get(svc.port, "/status")
            self.assertEqual(resp.body, support.READY)
            answered.append(cpu_seconds(pid))
            # A valid request does need the model: it waits for the long one.
            resp = support.transcribe(svc.port, b"\0\0\0\0", query="?lang=en", timeout=600)
            self.assertEqual((resp.status, resp.body), (200, support.success_body(b"")))
            queued = cpu_seconds(pid)
            t.join(600)
            self.assertEqual(done["resp"].body, support.success_body(b"Hello world." + b" Hello world." * 9))
            # Counted in the service's CPU time: had a probe waited for the
            # lock, the long recognition would have had no work left after
            # it; had the valid request overtaken it, most of its work would
            # have come after that request's answer.
            self.assertGreater(done["cpu"] - max(answered), 1.0, "a probe waited for the recognition")
            self.assertLess(done["cpu"] - queued, 0.5, "a request overtook the recognition")


if __name__ == "__main__":
    unittest.main(verbosity=2)
