/* bench: what the service costs on top of the speech library it wraps.
 *
 * One run against one model file. This process is both sides of every
 * comparison: it is the service's client (its own HTTP/1.1 client over raw
 * sockets, kept-alive, one write per request) and it calls whisper_full itself
 * on the same model, samples and parameters. The kinds of call take turns,
 * so a noisy neighbour slows all alike, and only ratios are read. Controls
 * that have no HTTP in them (the call on another thread, in another
 * process) show how far the machine alone moves such a ratio.
 *
 * For readiness it also answers HTTP itself: a loopback responder that sends
 * a fixed reply in one write is the floor that this machine's sockets,
 * scheduler and this client set, so what is left above it is the service's.
 *
 * With --build NAME=BENCH given twice or more, it runs none of that and
 * compares builds of the speech library instead: each BENCH is this program
 * built against another library, and the same recognitions take turns
 * between them (see builds_phase).
 *
 * Output: "key value" lines on standard output, one figure each, for
 * bench/report.py to put into tables. The library's log goes to a file.
 * Numbers never fail the run; a wrong reply, a failed call or a dead service
 * does (exit status 1). */

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <whisper.h>

extern char **environ;

namespace {

const int k_rate = 16000;

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

/* Children are ended on every way out, so a failed run leaves no service
 * holding a port and a hundred megabytes. Slots without a lock, because a
 * signal handler reads them. */
std::atomic<pid_t> g_children[16];

void add_child(pid_t pid) {
    for (auto &slot : g_children) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) return;
    }
}

void remove_child(pid_t pid) {
    for (auto &slot : g_children) {
        pid_t p = pid;
        if (slot.compare_exchange_strong(p, 0)) return;
    }
}

void kill_children() {
    for (auto &slot : g_children) {
        const pid_t p = slot.load();
        if (p > 0) kill(p, SIGKILL);
    }
}

[[noreturn]] void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("bench: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    kill_children();
    _exit(1);
}

void on_signal(int) {
    kill_children();
    _exit(130);
}

/* ---- figures ---- */

/* Nearest rank: the value below which p percent of the runs fall, always one
 * that was measured. */
double pct(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * v.size()));
    if (rank < 1) rank = 1;
    return v[std::min(rank, v.size()) - 1];
}

void out(const std::string &key, double v) { printf("%s %.4f\n", key.c_str(), v); }
void out_s(const std::string &key, const std::string &v) { printf("%s %s\n", key.c_str(), v.c_str()); }

void out_dist(const std::string &key, const std::vector<double> &v, double hi) {
    out(key + ".n", v.size());
    out(key + ".p50", pct(v, 50));
    out(key + ".p" + std::to_string(static_cast<int>(hi)), pct(v, hi));
}

long rss_kb(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE *f = fopen(path, "re");
    if (!f) die("cannot read %s", path);
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "VmRSS:", 6) == 0) kb = strtol(line + 6, nullptr, 10);
    }
    fclose(f);
    if (kb < 0) die("no VmRSS in %s", path);
    return kb;
}

double rss_mb(pid_t pid) { return rss_kb(pid) / 1024.0; }

/* What the kernel counts for a whole process, dead threads included:
 * minor page faults (pages touched for the first time since they were
 * mapped) and CPU time; and, for its live threads only, the time they spent
 * ready to run but waiting for a CPU. */
struct Usage {
    long faults = 0;
    double cpu_ms = 0;
    double wait_ms = 0;
};

double runqueue_wait_ms(pid_t pid) {
    char dir[64];
    snprintf(dir, sizeof dir, "/proc/%d/task", static_cast<int>(pid));
    DIR *d = opendir(dir);
    if (!d) die("cannot list %s", dir);
    double total = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char path[128];
        snprintf(path, sizeof path, "%.63s/%.31s/schedstat", dir, e->d_name);
        FILE *f = fopen(path, "re");
        if (!f) continue; /* the thread has just ended */
        unsigned long long run = 0, wait = 0;
        if (fscanf(f, "%llu %llu", &run, &wait) == 2) total += wait / 1e6;
        fclose(f);
    }
    closedir(d);
    return total;
}

Usage usage(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *f = fopen(path, "re");
    if (!f) die("cannot read %s", path);
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    /* Fields 10 (minflt), 14 and 15 (utime, stime); the command name in
     * field 2 may hold spaces, so count from its closing parenthesis. */
    const char *at = strrchr(buf, ')');
    long v[13] = {0};
    if (!at || sscanf(at + 2, "%*c %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld", &v[0], &v[1], &v[2], &v[3],
                      &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11]) != 12)
        die("cannot parse %s", path);
    static const double tick_ms = 1000.0 / sysconf(_SC_CLK_TCK);
    Usage u;
    u.faults = v[6];
    u.cpu_ms = (v[10] + v[11]) * tick_ms;
    u.wait_ms = runqueue_wait_ms(pid);
    return u;
}

/* Sums of what calls of one kind cost the process that did the work. */
struct Cost {
    long faults = 0;
    double cpu_ms = 0;
    double wait_ms = 0;
    void add(const Usage &a, const Usage &b) {
        faults += b.faults - a.faults;
        cpu_ms += b.cpu_ms - a.cpu_ms;
        wait_ms += b.wait_ms - a.wait_ms;
    }
};

/* One long-lived thread that runs what it is handed, the way a server's pool
 * thread runs a handler: the library is then called from a thread other than
 * the main one, as in the service. */
class Worker {
public:
    Worker() : t_([this] { loop(); }) {}
    ~Worker() {
        {
            std::lock_guard<std::mutex> l(m_);
            quit_ = true;
        }
        cv_.notify_all();
        t_.join();
    }
    void run(const std::function<void()> &job) {
        std::unique_lock<std::mutex> l(m_);
        job_ = &job;
        cv_.notify_all();
        cv_.wait(l, [this] { return job_ == nullptr; });
    }

private:
    void loop() {
        std::unique_lock<std::mutex> l(m_);
        for (;;) {
            cv_.wait(l, [this] { return quit_ || job_ != nullptr; });
            if (quit_) return;
            (*job_)();
            job_ = nullptr;
            cv_.notify_all();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    const std::function<void()> *job_ = nullptr;
    bool quit_ = false;
    std::thread t_;
};

/* ---- the service as a child process, started as its parent starts it ---- */

struct Child {
    pid_t pid = -1;
    int out = -1;
    int in = -1; /* only when asked for; else the child reads /dev/null */
};

Child spawn(const std::string &bin, const std::vector<std::string> &args, const std::string &log,
            bool want_stdin = false) {
    int fds[2], ins[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) die("pipe: %s", strerror(errno));
    if (want_stdin && pipe2(ins, O_CLOEXEC) != 0) die("pipe: %s", strerror(errno));
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (want_stdin) posix_spawn_file_actions_adddup2(&fa, ins[0], 0);
    else posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(bin.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    Child c;
    const int rc = posix_spawn(&c.pid, bin.c_str(), &fa, nullptr, argv.data(), environ);
    if (rc == 0) add_child(c.pid);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (want_stdin) close(ins[0]);
    if (rc != 0) die("cannot start %s: %s", bin.c_str(), strerror(rc));
    c.out = fds[0];
    c.in = ins[1];
    return c;
}

/* The first line on the child's stdout, or "" at end of file. */
std::string read_line(int fd, const std::string &log) {
    std::string line;
    const double deadline = now_ms() + 120000;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int left = static_cast<int>(deadline - now_ms());
        if (left <= 0) die("no line from a child within 120 s (log: %s)", log.c_str());
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return line;
        line.append(buf, n);
        size_t nl = line.find('\n');
        if (nl != std::string::npos) return line.substr(0, nl + 1);
    }
}

void end_child(Child &c) {
    if (c.pid <= 0) return;
    kill(c.pid, SIGTERM);
    int st;
    while (waitpid(c.pid, &st, 0) < 0 && errno == EINTR) {}
    remove_child(c.pid);
    close(c.out);
    if (c.in >= 0) close(c.in);
    c.pid = -1;
}

/* ---- a minimal HTTP/1.1 client ---- */

struct Reply {
    int status = 0;
    std::string body;
    bool close = false;
};

bool iequal_prefix(const std::string &s, size_t at, const char *name) {
    size_t n = strlen(name);
    if (s.size() < at + n) return false;
    for (size_t i = 0; i < n; i++)
        if (tolower(static_cast<unsigned char>(s[at + i])) != tolower(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

/* What a well-behaved client does: TCP_NODELAY, each request in one writev,
 * so nothing on this side waits for an acknowledgement; whatever waits is the
 * server's doing. */
class Conn {
public:
    explicit Conn(int port) : port_(port) {}
    ~Conn() { shut(); }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    /* Untimed: a connection the server closed (after its 100th request, or
     * idle past its timeout) is replaced before the clock starts. */
    void ready() {
        if (fd_ >= 0) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 0) == 0) return;
            shut();
        }
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) die("socket: %s", strerror(errno));
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv{300, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            die("connect to port %d: %s", port_, strerror(errno));
        buf_.clear();
        connects_++;
    }

    Reply get(const char *path) {
        std::string head = std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        return exchange(head, nullptr, 0);
    }

    Reply post(const char *path, const void *body, size_t n) {
        std::string head = std::string("POST ") + path +
                           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n"
                           "Content-Length: " + std::to_string(n) + "\r\n\r\n";
        return exchange(head, body, n);
    }

    long connects() const { return connects_; }

private:
    void shut() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    Reply exchange(const std::string &head, const void *body, size_t n) {
        if (fd_ < 0) ready();
        iovec iov[2] = {{const_cast<char *>(head.data()), head.size()}, {const_cast<void *>(body), n}};
        int cnt = n ? 2 : 1;
        iovec *v = iov;
        while (cnt > 0) {
            ssize_t w = writev(fd_, v, cnt);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) die("send to port %d: %s", port_, strerror(errno));
            size_t left = static_cast<size_t>(w);
            while (cnt > 0 && left >= v->iov_len) {
                left -= v->iov_len;
                v++;
                cnt--;
            }
            if (cnt > 0) {
                v->iov_base = static_cast<char *>(v->iov_base) + left;
                v->iov_len -= left;
            }
        }

        size_t end;
        while ((end = buf_.find("\r\n\r\n")) == std::string::npos) fill();
        Reply r;
        if (buf_.compare(0, 9, "HTTP/1.1 ") != 0) die("not an HTTP/1.1 reply: %.40s", buf_.c_str());
        r.status = atoi(buf_.c_str() + 9);
        long length = 0;
        size_t at = buf_.find("\r\n") + 2;
        while (at < end) {
            size_t eol = buf_.find("\r\n", at);
            if (iequal_prefix(buf_, at, "content-length:")) length = atol(buf_.c_str() + at + 15);
            if (iequal_prefix(buf_, at, "connection:") && buf_.find("close", at) < eol) r.close = true;
            at = eol + 2;
        }
        const size_t need = end + 4 + static_cast<size_t>(length);
        while (buf_.size() < need) fill();
        r.body = buf_.substr(end + 4, length);
        buf_.erase(0, need);
        if (r.close) shut();
        return r;
    }

    void fill() {
        char tmp[65536];
        for (;;) {
            ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) die("receive from port %d: %s", port_, strerror(errno));
            if (n == 0) die("port %d closed the connection before a whole reply", port_);
            buf_.append(tmp, n);
            return;
        }
    }

    int port_;
    int fd_ = -1;
    long connects_ = 0;
    std::string buf_;
};

/* ---- the floor: an HTTP answer that costs nothing to make ---- */

class Floor {
public:
    void start() {
        lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (lfd_ < 0 || bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd_, 64) != 0)
            die("floor responder: %s", strerror(errno));
        socklen_t len = sizeof a;
        getsockname(lfd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        std::thread([this] { accept_loop(); }).detach();
    }
    int port() const { return port_; }

    /* The head the service sends with {"ready":true}, so both write the same
     * number of bytes; here in a single write. */
    static const std::string &reply() {
        static const std::string r =
            "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Headers: Content-Type\r\n"
            "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\nAccess-Control-Allow-Origin: *\r\n"
            "Content-Length: 14\r\nContent-Type: application/json\r\nKeep-Alive: timeout=5, max=100\r\n\r\n"
            "{\"ready\":true}";
        return r;
    }

private:
    void accept_loop() {
        for (;;) {
            int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            std::thread([fd] { serve(fd); }).detach();
        }
    }
    static void serve(int fd) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string in;
        char tmp[4096];
        for (;;) {
            ssize_t n = recv(fd, tmp, sizeof tmp, 0);
            if (n <= 0) break;
            in.append(tmp, n);
            size_t e;
            while ((e = in.find("\r\n\r\n")) != std::string::npos) {
                in.erase(0, e + 4);
                const std::string &r = reply();
                if (send(fd, r.data(), r.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(r.size())) break;
            }
        }
        close(fd);
    }
    int lfd_ = -1;
    int port_ = 0;
};

/* ---- the speech library in this process ---- */

FILE *g_log = nullptr;

void log_to_file(ggml_log_level, const char *text, void *) {
    if (g_log) fputs(text, g_log);
}

/* The service's parameters, field for field. */
whisper_full_params service_params(const char *lang) {
    whisper_full_params p = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    const unsigned hw = std::thread::hardware_concurrency();
    p.n_threads = static_cast<int>(std::min(std::max(hw, 1u), 4u));
    p.translate = false;
    p.no_context = true;
    p.single_segment = false;
    p.print_special = false;
    p.print_progress = false;
    p.print_realtime = false;
    p.print_timestamps = false;
    p.language = lang;
    return p;
}

std::string trim(const std::string &s) {
    auto is_trim = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    size_t a = 0, b = s.size();
    while (a < b && is_trim(s[a])) a++;
    while (b > a && is_trim(s[b - 1])) b--;
    return s.substr(a, b - a);
}

std::string recognise(whisper_context *ctx, const float *samples, int n, const char *lang) {
    whisper_full_params p = service_params(lang);
    if (whisper_full(ctx, p, samples, n) != 0) die("whisper_full failed in process");
    std::string joined;
    for (int i = 0; i < whisper_full_n_segments(ctx); i++) joined += whisper_full_get_segment_text(ctx, i);
    return trim(joined);
}

whisper_context *load(const std::string &path) {
    whisper_context *ctx = whisper_init_from_file_with_params(path.c_str(), whisper_context_default_params());
    if (!ctx) die("cannot load %s in process", path.c_str());
    return ctx;
}

/* Any sound will do, the models' text does not depend on it; a fixed one
 * keeps the runs alike. 30 s and one sample more, for the refused body. */
std::vector<float> make_audio() {
    std::vector<float> a(30 * k_rate + 1);
    uint32_t x = 12345;
    for (size_t i = 0; i < a.size(); i++) {
        x = x * 1664525u + 1013904223u;
        a[i] = 0.1f * std::sin(2.0f * 3.14159265f * 440.0f * i / k_rate) +
               0.01f * (static_cast<float>(x >> 8) / 16777216.0f - 0.5f);
    }
    return a;
}

/* A second process that calls the library as this one does, told what to do
 * by a line on a pipe: a process of its own without any HTTP. Whatever it
 * costs more than the call in this process is what the machine does to a
 * second process, which the service is too. It names the library it runs on
 * and times each call itself, because another bench build's worker, linked to
 * another build of the library, is compared with it. */
int pipe_worker(const char *model, const char *lang) {
    whisper_context *ctx = load(model);
    const std::vector<float> audio = make_audio();
    char line[64];
    printf("READY %s\n", whisper_print_system_info());
    fflush(stdout);
    while (fgets(line, sizeof line, stdin)) {
        const int n = atoi(line);
        if (n <= 0 || static_cast<size_t>(n) > audio.size()) return 1;
        const double t0 = now_ms();
        const std::string text = recognise(ctx, audio.data(), n, lang);
        printf("OK %.4f %s\n", now_ms() - t0, text.c_str());
        fflush(stdout);
    }
    whisper_free(ctx);
    return 0;
}

std::string self_exe() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) die("readlink /proc/self/exe: %s", strerror(errno));
    self[n] = 0;
    return self;
}

/* ---- the run ---- */

struct Options {
    std::string service, model, workdir = "/tmp", lang = "en", expect;
    bool quick = false;
    int runs = 0; /* transcription runs per length; 0: the default */
    std::vector<std::pair<std::string, std::string>> builds; /* name, bench binary; the first is the baseline */
};

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) die("%s needs a value", a.c_str());
            return argv[++i];
        };
        if (a == "--service") o.service = val();
        else if (a == "--model") o.model = val();
        else if (a == "--workdir") o.workdir = val();
        else if (a == "--lang") o.lang = val();
        else if (a == "--expect") o.expect = val();
        else if (a == "--short") o.quick = true;
        else if (a == "--runs") o.runs = atoi(val().c_str());
        else if (a == "--build") {
            const std::string v = val();
            const size_t eq = v.find('=');
            if (eq == 0 || eq == std::string::npos || eq + 1 == v.size()) die("--build wants NAME=BENCH_BINARY");
            o.builds.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else die("unknown argument %s", a.c_str());
    }
    if (o.model.empty() || (o.service.empty() && o.builds.size() < 2))
        die("usage: bench --service BIN --model FILE --expect TEXT [--lang L] [--workdir DIR] [--short] [--runs N]\n"
            "       bench --build NAME=BENCH --build NAME=BENCH [...] --model FILE --expect TEXT [--lang L] [--workdir DIR] [--short] [--runs N]");
    return o;
}

struct Bench {
    Options o;
    whisper_context *ctx = nullptr;
    std::vector<float> audio; /* 30 s; shorter inputs are its prefixes */
    Child svc;
    Child pw; /* the second process, from the transcription runs to the end of readiness */
    int port = 0;
    Floor floor;
    std::string path_svc;
    std::string log_svc;
    long svc_recs = 0, in_recs = 0;

    std::string expected_body() const { return "{\"success\":true,\"text\":\"" + o.expect + "\"}"; }

    /* A service POST, timed, its reply checked to the byte. */
    double svc_once(Conn &c, int seconds, Cost *cost = nullptr) {
        const size_t n = static_cast<size_t>(seconds) * k_rate;
        c.ready();
        const Usage u0 = cost ? usage(svc.pid) : Usage();
        const double t0 = now_ms();
        Reply r = c.post(path_svc.c_str(), audio.data(), n * sizeof(float));
        const double dt = now_ms() - t0;
        if (cost) cost->add(u0, usage(svc.pid));
        if (r.status != 200 || r.body != expected_body())
            die("service answered %d %s for %d s of audio, expected 200 %s", r.status, r.body.c_str(), seconds,
                expected_body().c_str());
        svc_recs++;
        return dt;
    }

    /* The same POST with one byte more, which the service refuses once it
     * has read it all: the transport's share without the recognition. */
    double refused_once(Conn &c, int seconds) {
        const size_t n = static_cast<size_t>(seconds) * k_rate * sizeof(float) + 1;
        c.ready();
        const double t0 = now_ms();
        Reply r = c.post(path_svc.c_str(), audio.data(), n);
        const double dt = now_ms() - t0;
        if (r.status != 400) die("service answered %d %s to a body of %zu bytes", r.status, r.body.c_str(), n);
        return dt;
    }

    double in_once(int seconds, Worker *w = nullptr, Cost *cost = nullptr) {
        const int n = seconds * k_rate;
        double dt = 0;
        std::string text;
        std::function<void()> job = [&] {
            const Usage u0 = cost ? usage(getpid()) : Usage();
            const double t0 = now_ms();
            text = recognise(ctx, audio.data(), n, o.lang.c_str());
            dt = now_ms() - t0;
            if (cost) cost->add(u0, usage(getpid()));
        };
        if (w) w->run(job);
        else job();
        if (text != o.expect)
            die("whisper_full in process gave \"%s\" for %d s of audio, expected \"%s\"", text.c_str(), seconds,
                o.expect.c_str());
        in_recs++;
        return dt;
    }

    /* One recognition in a pipe worker; what the worker timed itself. */
    double worker_call(Child &w, int seconds, const std::string &log) {
        const std::string req = std::to_string(seconds * k_rate) + "\n";
        if (write(w.in, req.data(), req.size()) != static_cast<ssize_t>(req.size()))
            die("pipe worker: %s", strerror(errno));
        const std::string line = read_line(w.out, log);
        char *end = nullptr;
        const double dt = line.compare(0, 3, "OK ") == 0 ? strtod(line.c_str() + 3, &end) : 0;
        if (!end || *end != ' ' || std::string(end + 1) != o.expect + "\n")
            die("pipe worker said \"%s\" (log: %s)", line.c_str(), log.c_str());
        return dt;
    }

    /* A call in the pipe worker, timed from the request line to the answer,
     * its CPU time and faults counted in that process. */
    double pipe_once(Child &pw, int seconds, Cost *cost) {
        const Usage u0 = usage(pw.pid);
        const double t0 = now_ms();
        worker_call(pw, seconds, o.workdir + "/pipe-worker.log");
        const double dt = now_ms() - t0;
        cost->add(u0, usage(pw.pid));
        return dt;
    }

    Child start_worker(const std::string &bin, const std::string &log, std::string *sysinfo = nullptr) {
        Child w = spawn(bin, {"--pipe-worker", o.model, o.lang}, log, true);
        const std::string line = read_line(w.out, log);
        if (line.compare(0, 6, "READY ") != 0) die("the pipe worker %s did not start (log: %s)", bin.c_str(), log.c_str());
        if (sysinfo) *sysinfo = line.substr(6, line.size() - 7);
        return w;
    }

    /* The library's own time, whisper_full in a process that does nothing
     * else, for each bench build given: each is linked to a build of the
     * speech library of its own, which it finds through its RPATH, so one
     * process cannot hold two and each build gets a pipe worker. The workers
     * take turns in orders that rotate run by run, after one call of each
     * length that is not counted (the first touches the buffers); the first
     * build is the one the others are divided by, run by run. */
    void builds_phase() {
        const int runs = o.runs > 0 ? o.runs : o.quick ? 3 : 20;
        const int durs[3] = {1, 10, 30};
        const int nb = static_cast<int>(o.builds.size());
        std::vector<Child> ws(nb);
        std::vector<std::string> logs(nb);
        for (int b = 0; b < nb; b++) {
            std::string sysinfo;
            logs[b] = o.workdir + "/build-" + std::to_string(b) + ".log";
            ws[b] = start_worker(o.builds[b].second, logs[b], &sysinfo);
            out_s("build." + std::to_string(b) + ".name", o.builds[b].first);
            out_s("build." + std::to_string(b) + ".sysinfo", sysinfo);
        }
        for (int d : durs)
            for (int b = 0; b < nb; b++) worker_call(ws[b], d, logs[b]);
        std::vector<std::vector<double>> t[3];
        for (auto &v : t) v.resize(nb);
        for (int r = 0; r < runs; r++) {
            for (int j = 0; j < 3; j++) {
                const int x = (j + r) % 3;
                for (int k = 0; k < nb; k++) {
                    const int b = (k + r + j) % nb;
                    t[x][b].push_back(worker_call(ws[b], durs[x], logs[b]));
                }
            }
        }
        for (auto &w : ws) end_child(w);
        out("builds.n", runs);
        for (int x = 0; x < 3; x++) {
            const std::string k = "builds." + std::to_string(durs[x]) + ".";
            for (int b = 0; b < nb; b++) {
                out(k + std::to_string(b) + ".p50", pct(t[x][b], 50));
                if (b == 0) continue;
                std::vector<double> pair;
                for (int r = 0; r < runs; r++) pair.push_back(t[x][b][r] / t[x][0][r]);
                out(k + std::to_string(b) + ".pair", pct(pair, 50));
            }
        }
    }

    void run_builds() {
        out("threads", service_params("en").n_threads);
        out_s("lang", o.lang);
        out("cores", std::thread::hardware_concurrency());
        builds_phase();
    }

    void start_service() {
        const double t0 = now_ms();
        svc = spawn(o.service, {o.model}, log_svc);
        std::string line = read_line(svc.out, log_svc);
        const double dt = now_ms() - t0;
        if (line.compare(0, 5, "PORT:") != 0) die("service said \"%s\" (log: %s)", line.c_str(), log_svc.c_str());
        port = atoi(line.c_str() + 5);
        out("start.first.svc", dt);
    }

    void run() {
        log_svc = o.workdir + "/service.log";
        path_svc = "/transcribe?lang=" + o.lang;
        audio = make_audio();

        out_s("sysinfo", whisper_print_system_info());
        out("threads", service_params("en").n_threads);
        out_s("lang", o.lang);
        out("cores", std::thread::hardware_concurrency());
        out("mem.in.base", rss_mb(getpid()));

        start_service();
        {
            const double t0 = now_ms();
            ctx = load(o.model);
            out("start.first.load", now_ms() - t0);
        }
        floor.start();
        out("mem.svc.start", rss_mb(svc.pid));
        out("mem.in.start", rss_mb(getpid()));

        memory_phase();
        overhead_phase();
        readiness_phase();
        end_child(pw);
        out("mem.svc.end", rss_mb(svc.pid));
        out("mem.in.end", rss_mb(getpid()));
        out("mem.svc.end.recs", svc_recs);
        out("mem.in.end.recs", in_recs);
        end_child(svc);
        startup_phase();
        whisper_free(ctx);
    }

    /* RSS on both sides after 1, N/10 (3 at least: one of each length) and N recognitions of each side, on
     * one kept-alive connection, cycling through 1, 10 and 30 s inputs. The
     * first recognitions still touch buffers for the first time, so growth
     * is counted from N/10 on. */
    void memory_phase() {
        const int n = o.quick ? 10 : 100;
        const int mid = std::max(3, n / 10);
        out("mem.n", n);
        out("mem.mid", mid);
        const int durs[3] = {1, 10, 30};
        Conn c(port);
        for (int i = 1; i <= n; i++) {
            const int d = durs[(i - 1) % 3];
            if (i % 2) {
                svc_once(c, d);
                in_once(d);
            } else {
                in_once(d);
                svc_once(c, d);
            }
            if (i == 1 || i == mid || i == n) {
                out("mem.svc." + std::to_string(i), rss_mb(svc.pid));
                out("mem.in." + std::to_string(i), rss_mb(getpid()));
            }
        }
    }

    /* Transcription latency: the service; the library on this process's main
     * thread, on a worker thread of this process, and in a second process
     * that takes its orders on a pipe; and the refused POST of the same size.
     * Each run goes through all three lengths and the five kinds of call, in
     * orders that rotate run by run, so that a slow spell of the machine
     * lands on every kind and every length alike. */
    void overhead_phase() {
        const int runs = o.runs > 0 ? o.runs : o.quick ? 3 : 20;
        const int durs[3] = {1, 10, 30};
        const int kinds = 5;
        Conn c(port);
        Worker w;
        const std::string pw_log = o.workdir + "/pipe-worker.log";
        pw = start_worker(self_exe(), pw_log);
        std::vector<double> s[3], in[3], wk[3], pp[3], ref[3];
        Cost c_s[3], c_in[3], c_wk[3], c_pp[3];
        for (int r = 0; r < runs; r++) {
            for (int j = 0; j < 3; j++) {
                const int x = (j + r) % 3, d = durs[x];
                for (int k = 0; k < kinds; k++) {
                    switch ((k + r + j) % kinds) {
                    case 0: s[x].push_back(svc_once(c, d, &c_s[x])); break;
                    case 1: in[x].push_back(in_once(d, nullptr, &c_in[x])); break;
                    case 2: wk[x].push_back(in_once(d, &w, &c_wk[x])); break;
                    case 3: pp[x].push_back(pipe_once(pw, d, &c_pp[x])); break;
                    default: ref[x].push_back(refused_once(c, d));
                    }
                }
            }
        }
        for (int x = 0; x < 3; x++) {
            const std::string k = "tx." + std::to_string(durs[x]);
            out(k + ".n", runs);
            const std::pair<const char *, std::vector<double> *> dists[] = {
                {"svc", &s[x]}, {"in", &in[x]}, {"wk", &wk[x]}, {"pp", &pp[x]}, {"ref", &ref[x]}};
            for (const auto &dd : dists) {
                out(k + "." + dd.first + ".p50", pct(*dd.second, 50));
                out(k + "." + dd.first + ".p95", pct(*dd.second, 95));
            }
            /* Run r's calls of one length are at most four calls apart, so
             * their ratio is the least disturbed by the machine's spells. */
            std::vector<double> pair_s, pair_w, pair_p;
            for (int r = 0; r < runs; r++) {
                pair_s.push_back(s[x][r] / in[x][r]);
                pair_w.push_back(wk[x][r] / in[x][r]);
                pair_p.push_back(pp[x][r] / in[x][r]);
            }
            out(k + ".pair.svc", pct(pair_s, 50));
            out(k + ".pair.wk", pct(pair_w, 50));
            out(k + ".pair.pp", pct(pair_p, 50));
            const std::pair<const char *, Cost *> costs[] = {
                {"svc", &c_s[x]}, {"in", &c_in[x]}, {"wk", &c_wk[x]}, {"pp", &c_pp[x]}};
            for (const auto &cc : costs) {
                out(k + "." + cc.first + ".flt", static_cast<double>(cc.second->faults) / runs);
                out(k + "." + cc.first + ".cpu", cc.second->cpu_ms / runs);
                out(k + "." + cc.first + ".wait", cc.second->wait_ms / runs);
            }
        }
    }

    static void check_ready(const Reply &r, const char *who) {
        if (r.status != 200 || r.body != "{\"ready\":true}") die("%s answered %d %s to GET /status", who, r.status, r.body.c_str());
    }

    static double probe(Conn &c, const char *who) {
        c.ready();
        const double t0 = now_ms();
        Reply r = c.get("/status");
        const double dt = now_ms() - t0;
        check_ready(r, who);
        return dt;
    }

    void readiness_phase() {
        const double span = o.quick ? 800 : 4000; /* ms per case, both sides together */
        const size_t cap = o.quick ? 500 : 5000;  /* probes per side */

        /* Idle: one kept-alive connection to each, in turns. */
        {
            Conn cs(port), cf(floor.port());
            std::vector<double> s, f;
            probe(cs, "service");
            probe(cf, "floor");
            const double end = now_ms() + span;
            while (now_ms() < end && s.size() < cap) {
                s.push_back(probe(cs, "service"));
                f.push_back(probe(cf, "floor"));
            }
            out_dist("st.idle.svc", s, 99);
            out_dist("st.idle.floor", f, 99);
        }

        /* During a recognition: another connection keeps the model busy; a
         * probe counts only if one and the same recognition ran at its start
         * and at its end. Then the same with the recognitions in the second
         * process instead: what is left is what the machine does to a probe
         * while four threads compute, and the difference between the two is
         * what the recognition does inside the service's own process. */
        for (int where = 0; where < 2; where++) {
            std::atomic<long> gen{0}; /* odd while a recognition is in flight */
            std::atomic<bool> stop{false};
            std::thread bg([&] {
                Conn cb(port);
                while (!stop.load()) {
                    if (where == 0) {
                        cb.ready();
                        gen++;
                        Reply r = cb.post(path_svc.c_str(), audio.data(), 10 * k_rate * sizeof(float));
                        gen++;
                        if (r.status != 200 || r.body != expected_body())
                            die("service answered %d %s during the readiness run", r.status, r.body.c_str());
                    } else {
                        Cost ignored;
                        gen++;
                        pipe_once(pw, 10, &ignored);
                        gen++;
                    }
                }
            });
            Conn cs(port), cf(floor.port());
            std::vector<double> s, f;
            probe(cs, "service");
            probe(cf, "floor");
            const double end = now_ms() + span;
            while (now_ms() < end && s.size() < cap) {
                for (int side = 0; side < 2; side++) {
                    Conn &c = side ? cf : cs;
                    const long g0 = gen.load();
                    const double dt = probe(c, side ? "floor" : "service");
                    if ((g0 & 1) && gen.load() == g0) (side ? f : s).push_back(dt);
                }
            }
            stop = true;
            bg.join();
            if (where == 0) svc_recs += gen.load() / 2;
            const std::string k = where ? "st.other." : "st.busy.";
            out_dist(k + "svc", s, 99);
            out_dist(k + "floor", f, 99);
        }

        /* Throughput: 8 clients, each on its own kept-alive connection, the
         * service and the floor in alternate slices. */
        {
            const int clients = 8;
            const int rounds = o.quick ? 1 : 3;
            const double slice = o.quick ? 400 : 1000;
            double t_side[2] = {0, 0};
            long n_side[2] = {0, 0};
            long reconnects = 0;
            std::vector<double> lat[2];
            for (int round = 0; round < rounds; round++) {
                for (int k = 0; k < 2; k++) {
                    const int side = (round % 2) ? 1 - k : k;
                    const int p = side ? floor.port() : port;
                    std::atomic<int> go{0};
                    std::vector<std::thread> ts;
                    std::vector<std::vector<double>> per(clients);
                    std::vector<long> conns(clients, 0);
                    double t_start = 0, t_end = 0;
                    for (int i = 0; i < clients; i++) {
                        ts.emplace_back([&, i] {
                            Conn c(p);
                            c.ready();
                            go++;
                            while (go.load() < clients + 1) std::this_thread::yield();
                            const double stop_at = t_end;
                            while (now_ms() < stop_at) per[i].push_back(probe(c, side ? "floor" : "service"));
                            conns[i] = c.connects();
                        });
                    }
                    while (go.load() < clients) std::this_thread::yield();
                    t_start = now_ms();
                    t_end = t_start + slice;
                    go++;
                    for (auto &t : ts) t.join();
                    const double took = now_ms() - t_start;
                    t_side[side] += took;
                    for (int i = 0; i < clients; i++) {
                        n_side[side] += per[i].size();
                        lat[side].insert(lat[side].end(), per[i].begin(), per[i].end());
                        if (!side) reconnects += conns[i] - 1;
                    }
                }
            }
            out("rps.clients", clients);
            out("rps.svc", n_side[0] / (t_side[0] / 1000.0));
            out("rps.floor", n_side[1] / (t_side[1] / 1000.0));
            out("rps.svc.p99", pct(lat[0], 99));
            out("rps.floor.p99", pct(lat[1], 99));
            out("rps.svc.reconnects", reconnects);
        }
    }

    /* Time from exec to the first line of a child. */
    double exec_to_line(const std::string &bin, const std::vector<std::string> &args, const char *want,
                        std::string *line_out) {
        const double t0 = now_ms();
        Child c = spawn(bin, args, log_svc);
        std::string line = read_line(c.out, log_svc);
        const double dt = now_ms() - t0;
        if (line.compare(0, strlen(want), want) != 0)
            die("%s said \"%s\", expected %s... (log: %s)", bin.c_str(), line.c_str(), want, log_svc.c_str());
        end_child(c);
        if (line_out) *line_out = line;
        return dt;
    }

    /* exec to "PORT:", against the load alone, in turns. Two more rows take
     * it apart: exec to the "ERROR:" line of a run without a model is what
     * starting the binary costs before any model, and this program started
     * afresh to load the model and say so is the same load in a new process,
     * where nothing is warm yet. */
    void startup_phase() {
        const int runs = o.quick ? 3 : 10;
        const std::string self = self_exe();
        std::vector<double> s, l, e, fresh, fresh_load;
        for (int r = 0; r < runs; r++) {
            for (int k = 0; k < 4; k++) {
                switch ((k + r) % 4) {
                case 0:
                    s.push_back(exec_to_line(o.service, {o.model}, "PORT:", nullptr));
                    break;
                case 1: {
                    const double t0 = now_ms();
                    whisper_context *c = load(o.model);
                    l.push_back(now_ms() - t0);
                    whisper_free(c);
                    break;
                }
                case 2:
                    e.push_back(exec_to_line(o.service, {}, "ERROR:", nullptr));
                    break;
                default: {
                    std::string line;
                    fresh.push_back(exec_to_line(self, {"--load-only", o.model}, "LOADED ", &line));
                    fresh_load.push_back(atof(line.c_str() + 7));
                }
                }
            }
        }
        out("start.n", runs);
        out("start.svc.p50", pct(s, 50));
        out("start.load.p50", pct(l, 50));
        out("start.fresh.p50", pct(fresh, 50));
        out("start.freshload.p50", pct(fresh_load, 50));
        out("start.exec.p50", pct(e, 50));
    }
};

}  // namespace

int main(int argc, char **argv) {
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGPIPE, SIG_IGN);
    if (argc == 4 && strcmp(argv[1], "--pipe-worker") == 0) return pipe_worker(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "--load-only") == 0) {
        /* A fresh process that loads the model as the service does, its log
         * on standard error as the service's is, and tells how long it took. */
        const double t0 = now_ms();
        whisper_context *ctx = load(argv[2]);
        printf("LOADED %.4f\n", now_ms() - t0);
        fflush(stdout);
        whisper_free(ctx);
        return 0;
    }
    Bench b;
    b.o = parse(argc, argv);
    if (b.o.expect.empty()) die("--expect: the text the model is made to say");
    const uint32_t one = 1;
    if (*reinterpret_cast<const uint8_t *>(&one) != 1) die("the service takes little-endian samples; this host is not");
    const std::string log_in = b.o.workdir + "/inprocess.log";
    g_log = fopen(log_in.c_str(), "we");
    if (!g_log) die("cannot write %s", log_in.c_str());
    whisper_log_set(log_to_file, nullptr);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (b.o.builds.empty()) b.run();
    else b.run_builds();
    fclose(g_log);
    return 0;
}
