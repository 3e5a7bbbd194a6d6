// The HTTP server of the web page, on cpp-httplib: the module
// marrowit-web.so (server.h), loaded by web_open.
//
// The server listens on a thread of its own and answers on a fixed pool of
// WEB_THREADS threads.  Every answer is made from text the state keeps
// (state.cpp) or from a recording read from the --record folder; nothing
// here writes.  An event stream is a chunked answer that sends what the
// ring holds past the client's last record and then waits for more: a
// client that cannot take its data within WEB_WRITE_SECONDS is dropped.
#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "web/server.h"

namespace {

httplib::Server* server;
std::thread* listener;
const web_server_api_t* api;
std::atomic<int> streams{0};

}  // namespace

namespace {

// A whole number parameter of at most 9 digits, or otherwise.
long long number_param(const httplib::Request& req, const char* name, long long otherwise)
{
    if (!req.has_param(name))
        return otherwise;
    std::string v = req.get_param_value(name);
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        return -2;
    return std::stoll(v);
}

void json_answer(httplib::Response& res, const std::string& body)
{
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json; charset=utf-8");
}

void serve_file(const web_file_t& f, httplib::Response& res)
{
    res.set_content((const char*)f.data, f.size, f.type);
}

void routes(httplib::Server& s)
{
    s.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; media-src 'self'");
        if (api->authorization.empty() ||
            req.get_header_value("Authorization") == api->authorization)
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"marrowit\", charset=\"UTF-8\"");
        res.set_content("authentication required\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.Get("/", [](const httplib::Request&, httplib::Response& res) { serve_file(api->files[0], res); });
    s.Get(R"(/(index\.html|app\.js|style\.css))",
          [](const httplib::Request& req, httplib::Response& res) {
              for (int k = 0; k < api->file_count; k++)
                  if (req.matches[1] == api->files[k].name)
                      serve_file(api->files[k], res);
          });
    s.Get("/api/state", [](const httplib::Request&, httplib::Response& res) {
        json_answer(res, api->state_json());
    });
    s.Get("/api/stats", [](const httplib::Request&, httplib::Response& res) {
        json_answer(res, api->stats_json());
    });
    s.Get("/api/calls", [](const httplib::Request& req, httplib::Response& res) {
        call_query_t q;
        q.unit = number_param(req, "unit", -1);
        q.channel = number_param(req, "channel", -1);
        q.offset = number_param(req, "offset", 0);
        q.limit = number_param(req, "limit", 50);
        if (q.unit < -1 || q.channel < -1 || q.offset < 0 || q.limit < 0 || q.limit > 1000) {
            res.status = 400;
            res.set_content("unit, channel, offset and limit are whole numbers (limit up to 1000)\n",
                            "text/plain");
            return;
        }
        std::string body = api->calls_json(q);
        if (body.empty()) {
            res.status = 503;
            res.set_content("the call history cannot be read\n", "text/plain");
            return;
        }
        json_answer(res, body);
    });
    s.Get("/api/events", [](const httplib::Request& req, httplib::Response& res) {
        if (++streams > WEB_SSE_CLIENTS) {
            streams--;
            res.status = 503;
            res.set_content("too many event streams\n", "text/plain");
            return;
        }
        // A reconnecting browser says which record it saw last.
        unsigned long long from = api->ring_last();
        std::string last = req.get_header_value("Last-Event-ID");
        if (!last.empty() && last.size() < 20 && last.find_first_not_of("0123456789") == std::string::npos)
            from = std::stoull(last);
        struct stream_t {
            unsigned long long seq;
            int idle = 0;
            std::string messages;
        };
        auto st = std::make_shared<stream_t>();
        st->seq = from;
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [st](size_t, httplib::DataSink& sink) {
                bool skipped;
                api->ring_after(&st->seq, &st->messages, &skipped, WEB_STREAM_MS);
                if (!server || !server->is_running())
                    return false;
                if (skipped)
                    st->messages.insert(0, "event: skipped\ndata: {}\n\n");
                // A comment every 15 s keeps proxies from closing a quiet stream.
                if (st->messages.empty()) {
                    if (++st->idle * WEB_STREAM_MS < 15000)
                        return true;
                    st->messages = ": still here\n\n";
                }
                st->idle = 0;
                return sink.write(st->messages.data(), st->messages.size());
            },
            [](bool) { streams--; });
    });
    s.Get(R"(/recordings/([^/]+))", [](const httplib::Request& req, httplib::Response& res) {
        std::string path = api->recording_path(api->record_dir, req.matches[1]);
        std::shared_ptr<std::ifstream> in;
        if (!path.empty())
            in = std::make_shared<std::ifstream>(path, std::ios::binary);
        if (!in || !*in) {
            res.status = 404;
            res.set_content("no such recording\n", "text/plain");
            return;
        }
        in->seekg(0, std::ios::end);
        size_t size = (size_t)in->tellg();
        res.set_content_provider(size, "audio/wav",
                                 [in](size_t offset, size_t length, httplib::DataSink& sink) {
                                     char buf[65536];
                                     in->seekg((std::streamoff)offset);
                                     size_t n = length < sizeof buf ? length : sizeof buf;
                                     in->read(buf, (std::streamsize)n);
                                     std::streamsize got = in->gcount();
                                     return got > 0 && sink.write(buf, (size_t)got);
                                 });
    });
}

}  // namespace

extern "C" int marrowit_web_start(const web_server_api_t* with, const char* address, int port,
                                  std::string* error)
{
    api = with;
    // The server is never destroyed: its threads may still be answering
    // while the program exits.
    server = new httplib::Server;
    server->new_task_queue = [] { return new httplib::ThreadPool(WEB_THREADS); };
    server->set_write_timeout(WEB_WRITE_SECONDS, 0);
    server->set_read_timeout(WEB_WRITE_SECONDS, 0);
    server->set_keep_alive_timeout(5);
    server->set_payload_max_length(4096);
    routes(*server);
    errno = 0;
    if (!server->bind_to_port(address, port)) {
        *error = api->listen_error();
        delete server;
        server = nullptr;
        return -1;
    }
    listener = new std::thread([] { server->listen_after_bind(); });
    return 0;
}

extern "C" void marrowit_web_finish()
{
    // The clients' next look takes the last records (the calls ended by
    // the end of the input, the last statistics).
    if (streams > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * WEB_STREAM_MS));
}

extern "C" void marrowit_web_stop()
{
    if (!server)
        return;
    api->ring_wake();
    server->stop();
    listener->join();
    delete listener;
    listener = nullptr;
    delete server;
    server = nullptr;
}
