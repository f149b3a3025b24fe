// updateserver: a simulated update server for tests and demos.
//
// Listens on 127.0.0.1 only and answers GET /cgi/u from a content directory
// (see README.md). The first line on standard output is
//     updateserver listening on 127.0.0.1:PORT
// and every answered request adds one line to the request log (standard
// output unless --log is given). It stops on SIGINT or SIGTERM, or by itself
// after --lifetime seconds.
#include "content.h"
#include "replies.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace updsim;

struct Options {
    std::string root;
    int port = 0;
    std::string logPath;
    int lifetimeSeconds = 600;
    Faults faults;
};

// Shutdown state shared by the request threads (delays and hangs wait on it)
// and the signal thread. Guarded by `mutex`.
struct Stopper {
    std::mutex mutex;
    std::condition_variable cv;
    bool stopping = false;

    // Waits up to ms milliseconds; returns false when shutdown began.
    bool Sleep(long ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return !cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        cv.notify_all();
    }
};

// The request log; one line per request, written whole under the mutex.
struct RequestLog {
    std::mutex mutex;
    FILE* out = stdout;

    void Line(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        std::fprintf(out, "%s\n", text.c_str());
        std::fflush(out);
    }
};

void Usage() {
    std::fprintf(stderr, "usage: updateserver --root DIR [--port N] [--log FILE] [--lifetime S]\n"
                         "       [--status CODE] [--first-line TEXT] [--empty-body] [--crlf]\n"
                         "       [--truncate-payload N] [--bad-payload] [--body-file FILE]\n"
                         "       [--delay-ms MS] [--hang] [--close-mid-reply]\n"
                         "       [--trickle BYTES:MS] [--chunked] [--only OP[,OP...]]\n");
}

bool ParseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

bool ParseArgs(int argc, char** argv, Options& o) {
    Faults& f = o.faults;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        auto number = [&](long low, long high) {
            if (!v || !ParseNumber(v, low, high, n)) {
                std::fprintf(stderr, "updateserver: %s needs a number from %ld to %ld\n", a.c_str(),
                             low, high);
                return false;
            }
            ++i;
            return true;
        };
        auto text = [&](std::string& out) {
            if (!v) {
                std::fprintf(stderr, "updateserver: %s needs a value\n", a.c_str());
                return false;
            }
            out = v;
            ++i;
            return true;
        };
        bool ok = true;
        if (a == "--root")
            ok = text(o.root);
        else if (a == "--port") {
            ok = number(0, 65535);
            o.port = int(n);
        } else if (a == "--log")
            ok = text(o.logPath);
        else if (a == "--lifetime") {
            ok = number(1, 86400);
            o.lifetimeSeconds = int(n);
        } else if (a == "--status") {
            ok = number(100, 599);
            f.status = int(n);
        } else if (a == "--first-line")
            ok = text(f.firstLine);
        else if (a == "--empty-body")
            f.emptyBody = true;
        else if (a == "--crlf")
            f.crlf = true;
        else if (a == "--truncate-payload") {
            ok = number(1, 1L << 30);
            f.truncatePayload = size_t(n);
        } else if (a == "--bad-payload")
            f.badPayload = true;
        else if (a == "--body-file")
            ok = text(f.bodyFile);
        else if (a == "--delay-ms") {
            ok = number(0, 3600000);
            f.delayMs = int(n);
        } else if (a == "--hang")
            f.hang = true;
        else if (a == "--close-mid-reply")
            f.closeMidReply = true;
        else if (a == "--chunked")
            f.chunked = true;
        else if (a == "--trickle") {
            std::string t;
            ok = text(t);
            long bytes = 0, ms = 0;
            size_t colon = t.find(':');
            ok = ok && colon != std::string::npos &&
                 ParseNumber(t.substr(0, colon).c_str(), 1, 1L << 20, bytes) &&
                 ParseNumber(t.substr(colon + 1).c_str(), 0, 60000, ms);
            if (!ok)
                std::fprintf(stderr, "updateserver: --trickle needs BYTES:MS\n");
            f.trickleBytes = size_t(bytes);
            f.trickleMs = int(ms);
        } else if (a == "--only") {
            std::string list;
            ok = text(list);
            std::stringstream ss(list);
            for (std::string op; std::getline(ss, op, ',');)
                if (!op.empty())
                    f.only.insert(op);
        } else if (a == "-h" || a == "--help") {
            Usage();
            std::exit(0);
        } else {
            std::fprintf(stderr, "updateserver: unknown argument '%s'\n", a.c_str());
            ok = false;
        }
        if (!ok)
            return false;
    }
    if (o.root.empty()) {
        std::fprintf(stderr, "updateserver: --root DIR is required\n");
        return false;
    }
    return true;
}

std::string Describe(const Faults& f, bool applies) {
    if (!applies)
        return "none";
    std::string s;
    auto add = [&](const std::string& w) { s += (s.empty() ? "" : ",") + w; };
    if (f.status)
        add("status" + std::to_string(f.status));
    if (!f.firstLine.empty())
        add("first-line");
    if (f.emptyBody)
        add("empty-body");
    if (f.crlf)
        add("crlf");
    if (f.truncatePayload)
        add("truncate");
    if (f.badPayload)
        add("bad-payload");
    if (!f.bodyFile.empty())
        add("body-file");
    if (f.delayMs)
        add("delay" + std::to_string(f.delayMs));
    if (f.hang)
        add("hang");
    if (f.closeMidReply)
        add("close-mid-reply");
    if (f.trickleBytes)
        add("trickle");
    if (f.chunked)
        add("chunked");
    return s.empty() ? "none" : s;
}

// Sends the body in timed pieces, or half of it before closing the
// connection, through a content provider.
void SendSlowly(httplib::Response& res, const Reply& reply, const Faults& f, Stopper& stopper) {
    auto body = std::make_shared<std::string>(reply.body);
    bool close = f.closeMidReply;
    size_t piece = f.trickleBytes ? f.trickleBytes : body->size();
    int pauseMs = f.trickleMs;
    res.set_content_provider(
        body->size(), "text/plain",
        [body, close, piece, pauseMs, &stopper](size_t offset, size_t length,
                                                httplib::DataSink& sink) {
            if (close && offset >= body->size() / 2)
                return false; // the connection is dropped with the reply unfinished
            size_t n = std::min(length, piece);
            if (close)
                n = std::min(n, body->size() / 2 - offset);
            if (n == 0)
                return false;
            if (!sink.write(body->data() + offset, n))
                return false;
            if (pauseMs > 0 && offset + n < body->size() && !stopper.Sleep(pauseMs))
                return false;
            return true;
        });
}

// Sends the body with chunked transfer coding, so no length is announced.
void SendChunked(httplib::Response& res, const Reply& reply) {
    auto body = std::make_shared<std::string>(reply.body);
    res.set_chunked_content_provider("text/plain", [body](size_t offset, httplib::DataSink& sink) {
        if (offset >= body->size()) {
            sink.done();
            return true;
        }
        size_t n = std::min<size_t>(body->size() - offset, 65536);
        return sink.write(body->data() + offset, n);
    });
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, opt)) {
        Usage();
        return 2;
    }
    RequestLog log;
    if (!opt.logPath.empty()) {
        log.out = std::fopen(opt.logPath.c_str(), "a");
        if (!log.out) {
            std::fprintf(stderr, "updateserver: cannot open log %s: %s\n", opt.logPath.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }

    // Signals are taken by one thread with sigwait; block them everywhere else.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Content content(opt.root);
    Stopper stopper;
    httplib::Server server;
    const Faults& faults = opt.faults;

    server.Get("/cgi/u", [&](const httplib::Request& req, httplib::Response& res) {
        std::map<std::string, std::string> params;
        for (const auto& p : req.params)
            params.emplace(p.first, p.second); // the first of repeated keys counts
        std::string op = params.count("op") ? params["op"] : "";
        bool applies = faults.AppliesTo(op);
        Reply reply = Answer(content, params);
        Distort(faults, op, reply);
        std::string line = "REQ op=" + (op.empty() ? std::string("-") : op) +
                           " fault=" + Describe(faults, applies) + " target=" + req.target;
        if (applies && faults.hang) {
            log.Line(line + " status=none (never answered)");
            stopper.Sleep(long(opt.lifetimeSeconds) * 1000);
            res.status = 503;
            return;
        }
        log.Line(line + " status=" + std::to_string(reply.status) + " (" + reply.note + ")");
        if (applies && faults.delayMs > 0 && !stopper.Sleep(faults.delayMs))
            return;
        res.status = reply.status;
        if (applies && (faults.closeMidReply || faults.trickleBytes > 0))
            SendSlowly(res, reply, faults, stopper);
        else if (applies && faults.chunked)
            SendChunked(res, reply);
        else
            res.set_content(reply.body, "text/plain");
    });

    int port = opt.port;
    if (port == 0) {
        port = server.bind_to_any_port("127.0.0.1");
    } else if (!server.bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "updateserver: cannot listen on 127.0.0.1:%d\n", opt.port);
        return 1;
    }
    std::printf("updateserver listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);

    std::thread signalThread([&] {
        timespec limit{opt.lifetimeSeconds, 0};
        int sig = sigtimedwait(&signals, nullptr, &limit);
        log.Line(sig > 0 ? std::string("STOP signal ") + std::to_string(sig)
                         : "STOP lifetime over");
        stopper.Stop();
        server.stop();
    });
    bool served = server.listen_after_bind();
    // listen_after_bind only returns once stop() was called (or on failure);
    // make sure the signal thread ends too.
    bool stopped = false;
    {
        std::lock_guard<std::mutex> lock(stopper.mutex);
        stopped = stopper.stopping;
    }
    if (!stopped)
        pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
    if (log.out != stdout)
        std::fclose(log.out);
    return served ? 0 : 1;
}
