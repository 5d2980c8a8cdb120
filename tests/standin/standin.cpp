/* The stand-in for the model side of the speech library, preloaded in front of
 * the real libwhisper so that the binary under test is the one users run.
 *
 * It answers the calls the service makes on a loaded model, does what a small
 * script tells it to, and writes down what it was handed. Everything that does
 * not need a model (default parameters, language ids) stays the real library's,
 * which is also what the parameters are compared against.
 *
 * The "model path" is the script. It is read again at every recognition, so a
 * test can change what the next call does by replacing the file (write a new
 * file and rename it over the old one: a reader never sees half a script).
 * The format is in README.md next to this file.
 *
 * The log gets one JSON object per line, appended and closed per line, so a
 * test may read it at any time. Strings are written byte by byte: bytes from
 * 0x7f up come out as \u00XX, so a reader gets its bytes back with latin-1.
 *
 * Overlapping recognitions are the service's fault to avoid and ours to see:
 * nothing here serialises whisper_full, it only counts how many are inside. */

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

#include <whisper.h>

namespace {

struct Script {
    std::string log;
    long delay_ms = 0;
    std::string hold;
    int rc = 0;
    bool init_fail = false;
    bool throws = false;
    std::string throw_what;
    long repeat = 1;
    std::vector<std::string> segments;
};

[[noreturn]] void die(const std::string &why) {
    /* A broken script is a broken test: stop loudly, on stderr, never stdout
     * (the service's parent reads stdout as a protocol). */
    fprintf(stderr, "standin: %s\n", why.c_str());
    fflush(stderr);
    abort();
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unhex(const std::string &h) {
    if (h.size() % 2 != 0) die("odd number of hex digits: " + h);
    std::string out;
    out.reserve(h.size() / 2);
    for (size_t i = 0; i < h.size(); i += 2) {
        const int hi = hex_digit(h[i]), lo = hex_digit(h[i + 1]);
        if (hi < 0 || lo < 0) die("not hex: " + h);
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

long to_long(const std::string &key, const std::string &v) {
    char *end = nullptr;
    errno = 0;
    const long n = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0) die("bad number for " + key + ": " + v);
    return n;
}

Script load_script(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) die("cannot open script " + path);
    std::string all;
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, got);
    fclose(f);

    Script s;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t eol = all.find('\n', pos);
        if (eol == std::string::npos) eol = all.size();
        std::string line = all.substr(pos, eol - pos);
        pos = eol + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) die("no '=' in script line: " + line);
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "log") s.log = value;
        else if (key == "delay_ms") s.delay_ms = to_long(key, value);
        else if (key == "hold") s.hold = value;
        else if (key == "rc") s.rc = static_cast<int>(to_long(key, value));
        else if (key == "init") {
            if (value != "fail" && value != "ok") die("init is fail or ok: " + value);
            s.init_fail = value == "fail";
        } else if (key == "throw") {
            s.throws = true;
            s.throw_what = value;
        } else if (key == "repeat") s.repeat = to_long(key, value);
        else if (key == "segment") s.segments.push_back(unhex(value));
        else die("unknown script key: " + key);
    }
    return s;
}

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string hex(const void *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char *b = static_cast<const unsigned char *>(p);
    std::string out(2 * n, '0');
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = digits[b[i] >> 4];
        out[2 * i + 1] = digits[b[i] & 15];
    }
    return out;
}

std::string json_str(const char *s) {
    if (s == nullptr) return "null";
    std::string out = "\"";
    for (const char *p = s; *p; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += *p;
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += *p;
        }
    }
    return out + "\"";
}

std::string json_str(const std::string &s) { return json_str(s.c_str()); }

/* --- process-wide state; every piece is an atomic or behind a mutex ------- */

std::mutex g_state_mutex;
std::string g_script_path; /* set by init, read by every call after */

std::mutex g_log_mutex;

std::atomic<long> g_calls{0};
std::atomic<int> g_in_flight{0};
std::atomic<int> g_max_in_flight{0};

/* Segment texts of the latest recognition. Older ones are kept, not freed: a
 * service that read a text after the next recognition began gets stale text
 * rather than a use-after-free inside the stand-in. */
std::mutex g_segments_mutex;
std::vector<std::unique_ptr<std::vector<std::string>>> g_segment_history;
const std::vector<std::string> *g_segments = nullptr;

/* The one context we hand out; only its address matters. */
char g_context_tag;
whisper_context *dummy_context() { return reinterpret_cast<whisper_context *>(&g_context_tag); }

std::string script_path() {
    std::lock_guard<std::mutex> lock(g_state_mutex);
    return g_script_path;
}

void write_log(const std::string &path, const std::string &line) {
    if (path.empty()) return;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot open log " + path);
    const std::string data = line + "\n";
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            die("cannot write log " + path);
        }
        done += static_cast<size_t>(w);
    }
    close(fd);
}

void log_error(const std::string &what) {
    const std::string path = script_path();
    Script s = load_script(path);
    write_log(s.log, "{\"event\":\"error\",\"what\":" + json_str(what) + "}");
}

/* --- field-by-field comparison with the library's greedy defaults -------- */

struct ParamsDiff {
    std::string values = "{";
    std::string changed = "[";
    bool first_value = true, first_changed = true;

    void add(const char *name, const std::string &value, bool same) {
        values += first_value ? "" : ",";
        values += json_str(name) + ":" + value;
        first_value = false;
        if (!same) {
            changed += first_changed ? "" : ",";
            changed += json_str(name);
            first_changed = false;
        }
    }
};

std::string show(bool v) { return v ? "true" : "false"; }
std::string show(int v) { return std::to_string(v); }
std::string show(size_t v) { return std::to_string(v); }
std::string show(whisper_sampling_strategy v) { return std::to_string(static_cast<int>(v)); }
std::string show(float v) {
    if (std::isnan(v)) return "\"nan\"";
    if (std::isinf(v)) return v > 0 ? "\"inf\"" : "\"-inf\"";
    char buf[32];
    snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
    return buf;
}
template <class T> std::string show(T *p) {
    /* Function pointers included: their bytes are the address. */
    if (p == nullptr) return "null";
    uintptr_t u;
    static_assert(sizeof u == sizeof p, "pointer size");
    memcpy(&u, &p, sizeof u);
    char buf[32];
    snprintf(buf, sizeof buf, "\"0x%llx\"", static_cast<unsigned long long>(u));
    return buf;
}

template <class T> bool same(const T &a, const T &b) { return a == b; }
bool same(float a, float b) { return memcmp(&a, &b, sizeof a) == 0; }

std::string describe_params(const whisper_full_params &p) {
    const whisper_full_params d = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    ParamsDiff diff;
#define FIELD(f) diff.add(#f, show(p.f), same(p.f, d.f));
    FIELD(strategy)
    FIELD(n_threads)
    FIELD(n_max_text_ctx)
    FIELD(offset_ms)
    FIELD(duration_ms)
    FIELD(translate)
    FIELD(no_context)
    FIELD(no_timestamps)
    FIELD(single_segment)
    FIELD(print_special)
    FIELD(print_progress)
    FIELD(print_realtime)
    FIELD(print_timestamps)
    FIELD(token_timestamps)
    FIELD(thold_pt)
    FIELD(thold_ptsum)
    FIELD(max_len)
    FIELD(split_on_word)
    FIELD(max_tokens)
    FIELD(debug_mode)
    FIELD(audio_ctx)
    FIELD(tdrz_enable)
    FIELD(suppress_regex)
    FIELD(initial_prompt)
    FIELD(carry_initial_prompt)
    FIELD(prompt_tokens)
    FIELD(prompt_n_tokens)
    /* The one pointer compared by what it points to: the service owns its
     * string, the library's default is a literal of its own. */
    {
        const bool eq = (p.language == nullptr || d.language == nullptr)
                            ? p.language == d.language
                            : strcmp(p.language, d.language) == 0;
        diff.add("language", json_str(p.language), eq);
    }
    FIELD(detect_language)
    FIELD(suppress_blank)
    FIELD(suppress_nst)
    FIELD(temperature)
    FIELD(max_initial_ts)
    FIELD(length_penalty)
    FIELD(temperature_inc)
    FIELD(entropy_thold)
    FIELD(logprob_thold)
    FIELD(no_speech_thold)
    FIELD(greedy.best_of)
    FIELD(beam_search.beam_size)
    FIELD(beam_search.patience)
    FIELD(new_segment_callback)
    FIELD(new_segment_callback_user_data)
    FIELD(progress_callback)
    FIELD(progress_callback_user_data)
    FIELD(encoder_begin_callback)
    FIELD(encoder_begin_callback_user_data)
    FIELD(abort_callback)
    FIELD(abort_callback_user_data)
    FIELD(logits_filter_callback)
    FIELD(logits_filter_callback_user_data)
    FIELD(grammar_rules)
    FIELD(n_grammar_rules)
    FIELD(i_start_rule)
    FIELD(grammar_penalty)
    FIELD(vad)
    FIELD(vad_model_path)
    FIELD(vad_params.threshold)
    FIELD(vad_params.min_speech_duration_ms)
    FIELD(vad_params.min_silence_duration_ms)
    FIELD(vad_params.max_speech_duration_s)
    FIELD(vad_params.speech_pad_ms)
    FIELD(vad_params.samples_overlap)
#undef FIELD
    return "\"params\":" + diff.values + "},\"changed\":" + diff.changed + "]";
}

/* Leaves the count balanced however whisper_full is left, throw included. */
struct InFlight {
    int now;
    InFlight() {
        now = ++g_in_flight;
        int seen = g_max_in_flight.load();
        while (now > seen && !g_max_in_flight.compare_exchange_weak(seen, now)) {
        }
    }
    ~InFlight() { --g_in_flight; }
};

}  // namespace

/* --- the hardware the service sees ---------------------------------------- */

/* libstdc++'s std::thread::hardware_concurrency() asks glibc's get_nprocs().
 * STANDIN_NPROCS, when set, is the answer instead; the init line records what
 * hardware_concurrency() then says, so a test can see it took effect. */
extern "C" int get_nprocs(void) noexcept {
    static const int forced = [] {
        const char *v = getenv("STANDIN_NPROCS");
        if (v == nullptr || *v == '\0') return -1;
        return static_cast<int>(to_long("STANDIN_NPROCS", v));
    }();
    if (forced >= 0) return forced;
    using fn = int (*)(void);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "get_nprocs"));
    return real ? real() : 1;
}

/* No real machine refuses a bind on loopback on demand, so STANDIN_FAIL_BIND
 * makes every bind fail as if the address were taken, for the one start-up
 * path that otherwise cannot be reached from a test. */
extern "C" int bind(int fd, const struct sockaddr *addr, socklen_t len) noexcept {
    static const bool fail = getenv("STANDIN_FAIL_BIND") != nullptr;
    if (fail) {
        errno = EADDRINUSE;
        return -1;
    }
    using fn = int (*)(int, const struct sockaddr *, socklen_t);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "bind"));
    return real(fd, addr, len);
}

/* STANDIN_FAIL_ACCEPT=N lets N connections in and fails the accept of the next one
 * with an error the server does not retry: the hard error of the listening
 * socket that is the only way its accept loop ever ends. */
extern "C" int accept4(int fd, struct sockaddr *addr, socklen_t *len, int flags) {
    static const long allowed = [] {
        const char *v = getenv("STANDIN_FAIL_ACCEPT");
        return v ? to_long("STANDIN_FAIL_ACCEPT", v) : -1;
    }();
    static std::atomic<long> accepted{0};
    using fn = int (*)(int, struct sockaddr *, socklen_t *, int);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "accept4"));
    const int r = real(fd, addr, len, flags);
    /* Fail only once a connection N+1 has really arrived, so that a test
     * decides when the loop ends. */
    if (r >= 0 && allowed >= 0 && accepted++ >= allowed) {
        close(r);
        errno = ECONNABORTED;
        return -1;
    }
    return r;
}

/* --- the model side of the library ---------------------------------------- */

extern "C" whisper_context *whisper_init_from_file_with_params(const char *path_model,
                                                                whisper_context_params) {
    const std::string path = path_model ? path_model : "";
    Script s = load_script(path);
    {
        std::lock_guard<std::mutex> lock(g_state_mutex);
        g_script_path = path;
    }
    write_log(s.log, std::string("{\"event\":\"init\",\"path\":") + json_str(path) +
                         ",\"hardware_concurrency\":" +
                         std::to_string(std::thread::hardware_concurrency()) +
                         ",\"result\":" + (s.init_fail ? "\"fail\"" : "\"ok\"") + "}");
    return s.init_fail ? nullptr : dummy_context();
}

extern "C" int whisper_full(whisper_context *ctx, whisper_full_params params, const float *samples,
                            int n_samples) {
    const int64_t enter = now_ns();
    InFlight in_flight;
    const long call = ++g_calls;

    /* Read before the enter line is written, so a test that saw the line may
     * replace the script for the next call without racing this one. */
    const Script s = load_script(script_path());
    write_log(s.log, "{\"event\":\"enter\",\"call\":" + std::to_string(call) +
                         ",\"t_ns\":" + std::to_string(enter) +
                         ",\"in_flight\":" + std::to_string(in_flight.now) + "}");

    std::string line = "{\"event\":\"full\",\"call\":" + std::to_string(call);
    line += ",\"ctx_ok\":" + show(ctx == dummy_context());
    line += ",\"language\":" + json_str(params.language);
    line += ",\"n_threads\":" + std::to_string(params.n_threads);
    line += ",\"n_samples\":" + std::to_string(n_samples);
    if (samples != nullptr && n_samples > 0) {
        line += ",\"samples_hex\":\"" + hex(samples, 4 * static_cast<size_t>(n_samples)) + "\"";
        /* The real library reads the first 201 floats whatever the count, to
         * pad its spectrogram; do the same read, so a short buffer is visible
         * (as garbage here, as an error under a sanitizer). */
        const int reads = 201;
        const std::string tail =
            n_samples < reads ? hex(samples + n_samples, 4 * static_cast<size_t>(reads - n_samples)) : "";
        line += ",\"tail_hex\":\"" + tail + "\"";
    } else {
        line += ",\"samples_hex\":null,\"tail_hex\":null";
    }
    line += "," + describe_params(params);

    if (s.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.delay_ms));
    /* Held until the test says so, however slow the machine: a test that
     * proves something happens during a recognition needs no time bound. A
     * minute at most, so a test that never opens the gate still ends. */
    for (int i = 0; !s.hold.empty() && access(s.hold.c_str(), F_OK) != 0 && i < 60000; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    auto texts = std::make_unique<std::vector<std::string>>();
    if (s.rc == 0 && !s.throws) {
        for (long r = 0; r < s.repeat; r++) texts->insert(texts->end(), s.segments.begin(), s.segments.end());
    }
    {
        std::lock_guard<std::mutex> lock(g_segments_mutex);
        g_segments = texts.get();
        g_segment_history.push_back(std::move(texts));
    }

    line += ",\"rc\":" + std::to_string(s.rc);
    line += ",\"threw\":" + show(s.throws);
    line += ",\"enter_ns\":" + std::to_string(enter);
    line += ",\"max_in_flight\":" + std::to_string(g_max_in_flight.load());
    line += ",\"exit_ns\":" + std::to_string(now_ns()) + "}";
    write_log(s.log, line);

    if (s.throws) throw std::runtime_error(s.throw_what);
    return s.rc;
}

extern "C" int whisper_full_n_segments(whisper_context *ctx) {
    if (ctx != dummy_context()) log_error("whisper_full_n_segments: foreign context");
    std::lock_guard<std::mutex> lock(g_segments_mutex);
    return g_segments ? static_cast<int>(g_segments->size()) : 0;
}

extern "C" const char *whisper_full_get_segment_text(whisper_context *ctx, int i_segment) {
    if (ctx != dummy_context()) log_error("whisper_full_get_segment_text: foreign context");
    /* When the text is read tells whether the service still held its lock:
     * the next recognition discards these texts. */
    const int64_t t = now_ns();
    const Script s = load_script(script_path());
    write_log(s.log, "{\"event\":\"text\",\"i\":" + std::to_string(i_segment) +
                         ",\"t_ns\":" + std::to_string(t) + "}");
    {
        std::lock_guard<std::mutex> lock(g_segments_mutex);
        if (g_segments && i_segment >= 0 && static_cast<size_t>(i_segment) < g_segments->size())
            return (*g_segments)[static_cast<size_t>(i_segment)].c_str();
    }
    log_error("whisper_full_get_segment_text: index " + std::to_string(i_segment) + " out of range");
    return "";
}

extern "C" void whisper_free(whisper_context *ctx) {
    const std::string path = script_path();
    if (path.empty()) return;
    const Script s = load_script(path);
    write_log(s.log, std::string("{\"event\":\"free\",\"ctx_ok\":") + show(ctx == dummy_context()) + "}");
}
