"""What the service hands the speech library, and when: decoding parameters,
language, samples, thread count, failure paths and the recognition lock.

Every test runs the real binary with the stand-in (tests/standin) preloaded in
front of the library; the stand-in logs each recognition it is asked for."""

import json
import os
import random
import shutil
import socket
import struct
import tempfile
import threading
import time
import unittest

import support

# The fields the service sets itself. Every other field of the decoding
# parameters must be whatever the library's greedy defaults say.
OVERRIDES = {
    "translate": False,
    "no_context": True,
    "single_segment": False,
    "print_special": False,
    "print_progress": False,
    "print_realtime": False,
    "print_timestamps": False,
}

JSON = "application/json"
WAIT = 20  # seconds; only a hung or broken service ever waits this long

_tmp = None


def setUpModule():
    global _tmp
    _tmp = tempfile.mkdtemp(prefix="ts-standin-")


def tearDownModule():
    shutil.rmtree(_tmp, ignore_errors=True)


class Standin:
    """A stand-in script and the log it writes to, in a directory of its own."""

    def __init__(self, **script):
        self.dir = tempfile.mkdtemp(dir=_tmp)
        self.path = os.path.join(self.dir, "script")
        self.log = os.path.join(self.dir, "log")
        self.write(**script)

    def write(self, delay_ms=0, rc=0, segments=(b" ok",), repeat=1, throw=None, init="ok", hold=False):
        """Replace the script; the stand-in reads it at the next recognition.
        With hold, that recognition waits until open_gate()."""
        lines = ["log=" + self.log, "delay_ms=%d" % delay_ms, "rc=%d" % rc,
                 "repeat=%d" % repeat, "init=" + init]
        if hold:
            lines.append("hold=" + os.path.join(self.dir, "gate"))
        lines += ["segment=" + s.hex() for s in segments]
        if throw is not None:
            lines.append("throw=" + throw)
        tmp = self.path + ".new"
        with open(tmp, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(tmp, self.path)

    def open_gate(self):
        open(os.path.join(self.dir, "gate"), "w").close()

    def events(self, kind=None):
        try:
            with open(self.log, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return []
        complete = data.split(b"\n")[:-1]  # a line being written is not yet ours
        events = [json.loads(line) for line in complete]
        return [e for e in events if kind is None or e["event"] == kind]

    def calls(self):
        return self.events("full")

    def wait_for(self, what, predicate, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while True:
            events = self.events()
            if predicate(events):
                return events
            if time.monotonic() > deadline:
                raise AssertionError("stand-in log never showed %s; log: %r"
                                     % (what, [{k: v for k, v in e.items() if k != "params"}
                                               for e in events]))
            time.sleep(0.01)

    def wait_enter(self, call):
        events = self.wait_for("recognition %d starting" % call,
                               lambda ev: any(e["event"] == "enter" and e["call"] == call for e in ev))
        return next(e for e in events if e["event"] == "enter" and e["call"] == call)

    def start(self, nprocs=3):
        return support.start_standin(self.path, env={"STANDIN_NPROCS": str(nprocs)})


def start_for_class(cls, nprocs=3, **script):
    cls.st = Standin(**script)
    cls.svc = cls.st.start(nprocs=nprocs)
    cls.addClassCleanup(cls.svc.stop)


class ParamsCheck:
    def assert_params(self, call, language, n_threads):
        """Overrides as the service promises, the library's defaults for the
        rest (the stand-in lists every field that differs from them)."""
        expected = dict(OVERRIDES, language=language, n_threads=n_threads)
        params = call["params"]
        for name, value in expected.items():
            self.assertEqual(params[name], value, "field %s" % name)
        self.assertEqual(set(call["changed"]) - set(expected), set(),
                         "fields that differ from the library's greedy defaults")
        self.assertTrue(call["ctx_ok"], "whisper_full got a context it was never given")

    def assert_same_params_but(self, call, reference, field):
        """Nothing but the one field moves with what the table varies."""
        mine = {k: v for k, v in call["params"].items() if k != field}
        theirs = {k: v for k, v in reference["params"].items() if k != field}
        self.assertEqual(mine, theirs)


class DecodingParams(ParamsCheck, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        start_for_class(cls, nprocs=3)

    def last_call_after(self, resp):
        self.assertEqual(resp.status, 200, resp)
        return self.st.calls()[-1]

    def test_every_field_is_the_default_but_the_overrides(self):
        call = self.last_call_after(support.transcribe(self.svc.port, support.floats([0.1] * 4)))
        self.assert_params(call, "auto", 3)
        # Those the library's defaults already set the other way: the
        # service is seen changing them, not just agreeing with them.
        self.assertGreaterEqual(set(call["changed"]), {"print_progress", "print_timestamps", "language"})

    def test_language(self):
        form = "Content-Type: application/x-www-form-urlencoded\r\n"
        # The library parses a short form body for parameters as well. Read
        # as floats, "lang" is about 1e24: such a body is no audio. Written
        # percent-encoded, every fourth byte (a float's sign and exponent) is
        # a digit or punctuation and each float stays small, so the parse can
        # still be seen to count.
        form_body = b"lang=de&pad=1234"
        encoded_form_body = b"%6C%61%6E%67=%64%65&"
        audio = support.floats([0.5, -0.5])
        cases = [
            ("?lang=en", audio, "", "en"),
            ("?lang=english", audio, "", "english"),
            ("?lang=EN", audio, "", "auto"),
            ("?lang=", audio, "", "auto"),
            ("?lang", audio, "", "auto"),
            ("?lang=xx", audio, "", "auto"),
            ("?lang=auto", audio, "", "auto"),
            ("?lang=xx&lang=en", audio, "", "auto"),
            ("?lang=en&lang=xx", audio, "", "en"),
            ("?Lang=en", audio, "", "auto"),
            ("", audio, "", "auto"),
            ("?other=1", audio, "", "auto"),
            ("?lang=haitian%20creole", audio, "", "haitian creole"),
            ("?lang=" + "e" * 33, audio, "", "auto"),
            ("?lang=" + "x" * 1000, audio, "", "auto"),
            ("?lang=en%00x", audio, "", "auto"),
            ("", form_body, form, None),
            ("?lang=en", form_body, form, None),
            ("", encoded_form_body, form, "de"),
            ("?lang=en", encoded_form_body, form, "en"),
        ]
        reference = self.last_call_after(support.transcribe(self.svc.port, audio))
        for query, body, headers, language in cases:
            with self.subTest(query=query[:40], body=body):
                before = len(self.st.calls())
                resp = support.transcribe(self.svc.port, body, query=query, headers=headers)
                if language is None:
                    self.assertEqual((resp.status, resp.body), (400, support.INVALID_AUDIO))
                    self.assertEqual(len(self.st.calls()), before)
                    continue
                call = self.last_call_after(resp)
                self.assertEqual(call["language"], language)
                self.assertEqual(call["samples_hex"], body.hex(), "the body is still the audio")
                self.assert_same_params_but(call, reference, "language")


class ThreadCount(ParamsCheck, unittest.TestCase):
    def test_n_threads_is_hardware_count_clamped_to_1_to_4(self):
        reference = None
        for hardware, n_threads in [(0, 1), (1, 1), (2, 2), (3, 3), (4, 4), (16, 4)]:
            with self.subTest(hardware=hardware):
                st = Standin()
                with st.start(nprocs=hardware) as svc:
                    init = st.events("init")[0]
                    self.assertEqual(init["hardware_concurrency"], hardware,
                                     "the stand-in failed to set the hardware count")
                    resp = support.transcribe(svc.port, support.floats([0.0]))
                    self.assertEqual(resp.status, 200, resp)
                    call = st.calls()[-1]
                    self.assertEqual(call["n_threads"], n_threads)
                    reference = reference or call
                    self.assert_same_params_but(call, reference, "n_threads")


class Samples(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        start_for_class(cls)

    def test_samples_arrive_byte_for_byte_with_their_count(self):
        rnd = random.Random(1234)
        cases = [
            ("one sample", struct.pack("<f", 1.5)),
            ("odd bit patterns", struct.pack(
                "<5I",
                0x80000000,  # -0.0
                0x00000001,  # smallest subnormal
                0x807FFFFF,  # largest negative subnormal
                0x5368D4A5,  # 1e12, the largest magnitude taken as audio
                0xD368D4A5)),  # -1e12
            ("200 samples", random_samples(rnd, 200)),
            ("201 samples", random_samples(rnd, 201)),
            ("one second", random_samples(rnd, 16000)),
        ]
        for name, body in cases:
            with self.subTest(name):
                resp = support.transcribe(self.svc.port, body)
                self.assertEqual(resp.status, 200, resp)
                call = self.st.calls()[-1]
                n = len(body) // 4
                self.assertEqual(call["n_samples"], n)
                self.assertEqual(call["samples_hex"], body.hex())
                # The library reads 201 floats whatever the count: the ones
                # past the audio must be there, and silent.
                self.assertEqual(call["tail_hex"], "00" * 4 * max(0, 201 - n))


    def test_samples_that_are_no_audio_never_reach_the_library(self):
        before = len(self.st.calls())
        for bits in (0x7FC00000,  # quiet NaN
                     0x7FC00001,  # quiet NaN with a payload
                     0xFFC00000,  # negative NaN
                     0x7F800001,  # signalling NaN
                     0x7F800000,  # +inf
                     0xFF800000,  # -inf
                     0x5368D4A6,  # the next float above 1e12
                     0xD368D4A6):
            with self.subTest(bits="%08x" % bits):
                body = struct.pack("<f", 0.25) * 1000 + struct.pack("<I", bits) + struct.pack("<f", 0.25)
                resp = support.transcribe(self.svc.port, body)
                self.assertEqual((resp.status, resp.body), (400, support.INVALID_AUDIO))
        self.assertEqual(len(self.st.calls()), before)


def random_samples(rnd, n):
    """Random bit patterns, as long as each is a float the service takes as
    audio: finite and at most 1e12 in magnitude."""
    out = []
    while len(out) < n:
        raw = rnd.randbytes(4)
        value = struct.unpack("<f", raw)[0]
        if abs(value) <= 1e12:  # NaN compares false
            out.append(raw)
    return b"".join(out)


class Outcomes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        start_for_class(cls)

    def tearDown(self):
        self.st.write()

    def assert_recovered(self):
        self.st.write(segments=[b" fine"])
        resp = support.transcribe(self.svc.port, support.floats([0.0]), timeout=WAIT)
        self.assertEqual((resp.status, resp.body), (200, support.success_body(b"fine")))

    def test_range_that_does_not_parse_is_refused_before_any_recognition(self):
        before = len(self.st.calls())
        resp = support.transcribe(self.svc.port, support.floats([0.5]), headers="Range: bytes=x-y\r\n")
        self.assertEqual((resp.status, resp.body), (416, b""))
        self.assertEqual(len(self.st.calls()), before)
        self.assert_recovered()

    def test_nonzero_return_is_502_and_the_next_request_works(self):
        for rc in (1, -1, 255):
            with self.subTest(rc=rc):
                self.st.write(rc=rc)
                resp = support.transcribe(self.svc.port, support.floats([0.0]))
                self.assertEqual((resp.status, resp.body), (502, support.INFERENCE_FAILED))
                self.assertEqual(resp.get("Content-Type"), JSON)
                self.assertEqual(self.st.calls()[-1]["rc"], rc)
                self.assert_recovered()

    def test_exception_is_500_with_its_message_and_frees_the_lock(self):
        self.st.write(throw="the model fell over")
        resp = support.transcribe(self.svc.port, support.floats([0.0]))
        self.assertEqual(resp.status, 500, resp)
        self.assertEqual(resp.get("EXCEPTION_WHAT"), "the model fell over")
        self.assertTrue(self.st.calls()[-1]["threw"])
        self.assert_recovered()  # a lock left held would hang this one

    def test_segments_are_joined_trimmed_and_escaped(self):
        cases = [
            ([b" Hello", b" world."], b"Hello world."),
            ([], b""),
            ([b" \t\r\n", b"\n"], b""),
            ([b'say "hi" \\ now'], b'say \\"hi\\" \\\\ now'),
            ([b"a\x01b\x1f", b"\tc\r\n"], b"a\\u0001b\\u001f\\tc"),
            ([b"\xc3\xa9t\xc3\xa9\xc2\xa0"], b"\xc3\xa9t\xc3\xa9\xc2\xa0"),
        ]
        for segments, text in cases:
            with self.subTest(segments=segments):
                self.st.write(segments=segments)
                resp = support.transcribe(self.svc.port, support.floats([0.0]))
                self.assertEqual((resp.status, resp.body), (200, support.success_body(text)))
                self.assertEqual(resp.get("Content-Type"), JSON)

    def test_failed_load_is_reported_and_the_process_exits(self):
        st = Standin(init="fail")
        svc = support.Service([support.SERVICE, st.path], env=support.standin_env())
        try:
            self.assertTrue(svc.line.startswith(b"ERROR:") and svc.line.endswith(b"\n"), svc.line)
            self.assertEqual(svc.proc.wait(timeout=WAIT), 1)
            self.assertEqual([e["result"] for e in st.events("init")], ["fail"])
        finally:
            svc.stop()


class SmallWindowConnection(support.Connection):
    """A connection whose receive window is small, so a large reply stays
    stuck in the server's write until the test reads it."""

    def __init__(self, port, timeout=WAIT):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.buf = bytearray()  # grows in place: the reply is large


def in_thread(fn):
    box = {}

    def run():
        try:
            box["result"] = fn()
        except BaseException as e:  # re-raised in the test's own thread
            box["error"] = e

    t = threading.Thread(target=run, daemon=True)
    t.start()

    def join():
        t.join(WAIT * 3)
        if "error" in box:
            raise box["error"]
        return box["result"]

    return join


class Lock(unittest.TestCase):
    def test_recognitions_never_overlap(self):
        st = Standin(delay_ms=100, segments=(b" a", b" b", b" c"))
        with st.start() as svc:
            bodies = [support.floats([float(i)] * 8) for i in range(8)]
            barrier = threading.Barrier(len(bodies))

            def client(body):
                barrier.wait()
                return support.transcribe(svc.port, body)

            joins = [in_thread(lambda b=b: client(b)) for b in bodies]
            replies = [j() for j in joins]
            self.assertEqual([(r.status, r.body) for r in replies],
                             [(200, support.success_body(b"a b c"))] * len(bodies))
            calls = sorted(st.calls(), key=lambda c: c["enter_ns"])
            # Each recognition's texts are read after it returns and before
            # the next one starts, which would discard them.
            texts = [e["t_ns"] for e in st.events("text")]
            ends = [c["enter_ns"] for c in calls[1:]] + [float("inf")]
            for call, next_enter in zip(calls, ends):
                read = [t for t in texts if call["exit_ns"] <= t < next_enter]
                self.assertEqual(len(read), 3, "segment texts read outside the lock")
            self.assertEqual(sorted(c["samples_hex"] for c in calls), sorted(b.hex() for b in bodies))
            self.assertEqual(max(c["max_in_flight"] for c in calls), 1)
            for before, after in zip(calls, calls[1:]):
                self.assertLessEqual(before["exit_ns"], after["enter_ns"])

    def test_status_and_bad_bodies_answered_during_a_recognition(self):
        # The recognition lasts until the test has had every answer: one that
        # waited for it would never come.
        st = Standin(hold=True)
        with st.start() as svc:
            long_reply = in_thread(lambda: support.transcribe(svc.port, support.silence(0.1)))
            st.wait_enter(1)
            resp = support.get(svc.port, "/status")
            self.assertEqual((resp.status, resp.body), (200, support.READY))
            for size in (0, 1, 2, 3, 5, 6, 7):
                with self.subTest(size=size):
                    resp = support.transcribe(svc.port, b"\x00" * size)
                    self.assertEqual((resp.status, resp.body), (400, support.INVALID_AUDIO))
                    self.assertEqual(resp.get("Content-Type"), JSON)
            self.assertEqual(st.calls(), [], "the recognition ended before the answers")
            st.open_gate()
            self.assertEqual(long_reply().status, 200)
            self.assertEqual(len(st.calls()), 1, "a bad body reached the library")

    def test_reply_is_written_after_the_lock_is_released(self):
        # A reply larger than every socket buffer on the way, and a client
        # that does not read it: the server's write is stuck until the test
        # reads. The next recognition must be able to start meanwhile.
        with open("/proc/sys/net/ipv4/tcp_wmem") as f:
            wmem_max = int(f.read().split()[2])
        chunk = b"a" * 65536
        repeat = max(16 << 20, 4 * wmem_max) // len(chunk)
        st = Standin(delay_ms=200, segments=[chunk], repeat=repeat)
        with st.start() as svc, SmallWindowConnection(svc.port) as a:
            body = support.floats([0.25])
            a.send(b"POST /transcribe HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            st.wait_enter(1)
            # The second recognition starts while the first reply is stuck in
            # its write, and holds the lock until that reply has been read.
            st.write(hold=True, segments=[b" b"])
            b_reply = in_thread(lambda: support.transcribe(svc.port, body))
            st.wait_enter(2)
            try:
                resp = a.read_response()
            except EOFError:
                self.fail("the first reply was cut off: its write held up the next recognition")
            self.assertEqual(resp.status, 200)
            self.assertEqual(bytes(resp.body), support.success_body(chunk * repeat))
            st.open_gate()
            self.assertEqual(b_reply().body, support.success_body(b"b"))
            first, second = st.calls()
            self.assertLessEqual(first["exit_ns"], second["enter_ns"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
