// Starting the web server: [http] settings, and the server's functions
// from its module or from the program itself (web_server_functions).
#include <cstdio>

#include "audio/net.h"
#include "audio/net_error.h"
#include "mpt1327/ini.h"
#include "mpt1327/mpt1327.h"
#include "web/server.h"

const bool web_available = true;

static web_server_api_t api;
static web_server_void_fn server_finish, server_stop;

std::string web_base64(const std::string& in)
{
    static const char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 |
                     (unsigned char)in[i + 2];
        out += digits[v >> 18];
        out += digits[v >> 12 & 63];
        out += digits[v >> 6 & 63];
        out += digits[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += digits[v >> 18];
        out += digits[v >> 12 & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += digits[v >> 18];
        out += digits[v >> 12 & 63];
        out += digits[v >> 6 & 63];
        out += '=';
    }
    return out;
}

// Why the server could not listen, in the words of both builds: the
// socket library's last error, none when the address was not one of this
// machine's.
static std::string listen_error()
{
    int err = net_error();
    if (err == 0)
        return "not an address of this machine";
    return net_port_in_use(err) ? "the port is in use" : net_error_text(err);
}

int web_open(const std::string& address, int port, const char* record_dir)
{
    // [http] USER and PASSWORD, once, at the start.
    ini_t ini;
    std::string text;
    ini_read(&text, settings_file);
    ini_parse(&ini, text);
    web_user = ini_get_string(&ini, "http", "USER", "");
    web_password = ini_get_string(&ini, "http", "PASSWORD", "");

    std::string why;
    web_server_start_fn start = nullptr;
    if (!web_server_functions(&start, &server_finish, &server_stop, &why)) {
        std::fprintf(stderr, "marrowit: --http: cannot start the web server: %s\n", why.c_str());
        return -1;
    }

    api.state_json = web_state_json;
    api.stats_json = web_stats_json;
    api.calls_json = web_calls_json;
    api.ring_after = web_ring_after;
    api.ring_last = web_ring_last;
    api.ring_wake = web_ring_wake;
    api.recording_path = web_recording_path;
    api.listen_error = listen_error;
    api.files = web_files;
    api.file_count = web_file_count;
    api.authorization.clear();
    if (!web_user.empty() || !web_password.empty())
        api.authorization = "Basic " + web_base64(web_user + ":" + web_password);
    api.record_dir = record_dir ? record_dir : "";
    net_clear_error();
    if (start(&api, address.c_str(), port, &why) != 0) {
        std::fprintf(stderr, "marrowit: --http: cannot listen on %s port %d: %s\n", address.c_str(),
                     port, why.c_str());
        server_stop = nullptr;
        return -1;
    }
    event_add_sink(web_sink);
    return 0;
}

void web_finish()
{
    if (server_finish)
        server_finish();
}

void web_close()
{
    if (server_stop)
        server_stop();
}
