/* transcription-service: a local speech-to-text sidecar in one file.
 *
 * A desktop dictation application starts us as a child process with the path
 * of a speech model. We load the model once, bind a port that the system picks
 * on 127.0.0.1, and tell the parent the outcome as ONE line on standard
 * output: "PORT:<n>", or a line beginning "ERROR:" followed by exit status 1.
 * Standard output carries nothing else, ever: the parent reads it as a
 * protocol, while the libraries write their diagnostics to standard error.
 *
 * Then we serve, until the parent ends the process:
 *
 *   OPTIONS  any path     204, the preflight answer
 *   GET      /status      {"ready":true}
 *   POST     /transcribe  raw little-endian float32 mono 16 kHz samples in,
 *                         {"success":true,"text":"..."} out
 *
 * Every answer to a request that reaches routing carries permissive
 * cross-origin headers, so the parent may call us from a web view.
 *
 * There is one model context and the speech library may run only one
 * recognition on it at a time, so one mutex serialises recognitions. All the
 * rest of a request (validation, copying, escaping, replying) runs outside it:
 * a readiness probe or a bad body never waits for somebody else's audio.
 *
 * Recognition is whisper.cpp's, HTTP is cpp-httplib's; this file is the glue,
 * and it keeps no state between requests besides the loaded model. */

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <whisper.h>

/* Written once by main before the server exists, freed only after the accept
 * loop has joined every worker, so the pointer itself needs no lock. Using the
 * context it points to does: that is what g_mutex is for. */
static whisper_context *g_ctx = nullptr;
static std::mutex g_mutex; /* constexpr constructor: no code runs to make it */

int main(int argc, char **argv) {
    /* 1. The model path is our whole configuration: no options, no
     * environment, and whatever follows it is not looked at. */
    if (argc < 2) {
        puts("ERROR:missing model path argument");
        fflush(stdout);
        return 1;
    }
    const std::string model_path = argv[1];

    /* 2. Load the model, once. The parent waits for our line through the
     * whole load, so no request will ever wait for one. */
    whisper_context_params cparams = whisper_context_default_params();
    g_ctx = whisper_init_from_file_with_params(model_path.c_str(), cparams);
    if (g_ctx == nullptr) {
        printf("ERROR:failed to load model at %s\n", model_path.c_str());
        fflush(stdout);
        return 1;
    }

    /* 3. The server, with the library's defaults but one. Building it makes
     * the process ignore SIGPIPE, so a parent that closed our stdout early
     * does not kill us when we announce the port. */
    httplib::Server svr;
    /* The library sends an answer's head and body in two writes, so with
     * Nagle's algorithm the body waits for the client's delayed ACK of the
     * head: about 40 ms on every answer on a kept-alive connection. Set on
     * the listening socket, the option is inherited by every accepted one. */
    svr.set_tcp_nodelay(true);

    svr.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        res.set_header("Access-Control-Allow-Origin", "*");
        res.set_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
        res.set_header("Access-Control-Allow-Headers", "Content-Type");
        /* Any preflight on any path is allowed: answer before routing, so no
         * 404 follows. */
        if (req.method == "OPTIONS") {
            res.status = 204;
            /* A preflight has no body, but a client may send one anyway, and
             * answering now would leave its bytes on the connection to be
             * parsed as the next request. So the library reads and drops it
             * first (its own test for a body, so we agree with it exactly);
             * no OPTIONS route exists, and the 204 set here is the answer. */
            if (httplib::detail::expect_content(req)) return httplib::Server::HandlerResponse::Unhandled;
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    /* The readiness probe never touches the model, so it never takes the lock
     * and is answered even while a recognition runs. */
    svr.Get("/status", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(std::string("{\"ready\":true}"), "application/json");
    });

    svr.Post("/transcribe", [](const httplib::Request &req, httplib::Response &res) {
        auto invalid_audio = [&res] {
            res.status = 400;
            res.set_content(std::string("{\"success\":false,\"error\":\"invalid_audio\"}"), "application/json");
        };

        /* Whole float32 samples only. The library takes the count as a 32-bit
         * int, so a body too long for that is refused rather than truncated. */
        const size_t n = req.body.size();
        if (n == 0 || n % 4 != 0 || n / 4 > static_cast<size_t>(INT32_MAX)) return invalid_audio();
        /* The library reflects samples 1 to 200 to pad the spectrogram,
         * whatever the count, so a short input would make it read past our
         * allocation: the buffer never holds fewer than 201 floats, zeros
         * after the samples, while the count we pass stays the real one. */
        const size_t n_samples = n / 4;
        std::vector<float> samples(std::max<size_t>(n_samples, 201));
        memcpy(samples.data(), req.body.data(), n);

        /* Samples that are no audio: NaN or infinity anywhere, or values so
         * large that the library's single-precision spectrogram overflows
         * (from about 1e17). The library would spend up to minutes on them,
         * holding the lock, only to answer a row of "!". The bound is far
         * above any PCM scale (32-bit integer full scale is 2^31, about 2e9)
         * and far below the overflow. A NaN fails every comparison, so the
         * test is written to let only what is in range pass. */
        const float max_magnitude = 1e12f;
        bool in_range = true;
        for (size_t i = 0; i < n_samples; i++) in_range &= std::fabs(samples[i]) <= max_magnitude;
        if (!in_range) return invalid_audio();

        /* The first lang wins; an empty or unknown one means detection. Settled
         * here because whisper_lang_id does not need the context. The
         * library's longest language name is 14 bytes ("haitian creole"), so
         * anything past 32 is unknown without asking, and never reaches its
         * logger, which once crashed on a line of about 1000 bytes. A NUL
         * (from "%00") would cut the name the library sees, so "en%00x"
         * would pass as "en": no name holds one. */
        std::string lang = "auto";
        if (req.has_param("lang")) {
            std::string value = req.get_param_value("lang");
            const bool plausible = !value.empty() && value.size() <= 32 && value.find('\0') == std::string::npos;
            if (plausible && whisper_lang_id(value.c_str()) >= 0) lang = std::move(value);
        }

        std::string joined;
        int rc;
        {
            /* The segment texts belong to the context and the next recognition
             * discards them, so they are copied out before the lock goes. */
            std::lock_guard<std::mutex> lock(g_mutex);

            whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
            const unsigned hw = std::thread::hardware_concurrency();
            params.n_threads = static_cast<int>(std::min(std::max(hw, 1u), 4u));
            params.translate = false;
            params.no_context = true;
            params.single_segment = false;
            /* The library's console printing would land on stdout, which is
             * the parent's protocol channel. */
            params.print_special = false;
            params.print_progress = false;
            params.print_realtime = false;
            params.print_timestamps = false;
            params.language = lang.c_str();

            rc = whisper_full(g_ctx, params, samples.data(), static_cast<int>(n_samples));
            if (rc == 0) {
                const int n_segments = whisper_full_n_segments(g_ctx);
                for (int i = 0; i < n_segments; i++) joined += whisper_full_get_segment_text(g_ctx, i);
            }
        }

        if (rc != 0) {
            res.status = 502;
            res.set_content(std::string("{\"success\":false,\"error\":\"inference_failed\"}"), "application/json");
            return;
        }

        /* Trim space, tab, line feed and carriage return from both ends, and
         * nothing else: a no-break space (0xC2 0xA0) or a form feed stays.
         * Bytes are compared unsigned throughout, so that UTF-8 bytes (0x80
         * and up) are never taken for control characters. */
        auto is_trim = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
        size_t first = 0, last = joined.size();
        while (first < last && is_trim(joined[first])) first++;
        while (last > first && is_trim(joined[last - 1])) last--;
        const std::string trimmed = joined.substr(first, last - first);

        /* Escape what JSON requires inside a string and pass every other
         * byte unchanged, valid UTF-8 or not. */
        std::string body;
        body.reserve(trimmed.size() + 8);
        for (const char ch : trimmed) {
            const unsigned char c = static_cast<unsigned char>(ch);
            switch (c) {
            case '"':  body += "\\\""; break;
            case '\\': body += "\\\\"; break;
            case '\t': body += "\\t"; break;
            case '\n': body += "\\n"; break;
            case '\r': body += "\\r"; break;
            default:
                if (c < 0x20) {
                    char buf[8]; /* six bytes and the NUL: never cut */
                    snprintf(buf, sizeof buf, "\\u%04x", c);
                    body += buf;
                } else {
                    body += ch;
                }
            }
        }

        /* The reply is built in the escaped text's own string and moved into
         * the response: no second copy of a long transcript. The status is
         * left to the library, which also serves Range requests from it. */
        body.insert(0, "{\"success\":true,\"text\":\"");
        body += "\"}";
        res.set_content(std::move(body), "application/json");
    });

    /* 4. Loopback only: the parent is on this machine and nobody else has
     * any business here. Port 0 lets the system pick a free one. */
    const int port = svr.bind_to_any_port("127.0.0.1", 0);
    if (port <= 0) {
        puts("ERROR:failed to bind to a port");
        fflush(stdout);
        /* The context is left to the process exit that follows at once. */
        return 1;
    }

    /* 5. Announce, then serve on this thread. The socket already listens, so
     * a parent that connects the moment it reads the line is queued. */
    printf("PORT:%d\n", port);
    fflush(stdout);
    svr.listen_after_bind();

    /* 6. Only a hard error of the listening socket gets us here, and by then
     * every worker has been joined: no handler can still use the context. */
    whisper_free(g_ctx);
    return 0;
}
