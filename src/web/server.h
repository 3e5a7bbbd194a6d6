// Between the program and its web server module (marrowit-web.so).
//
// The server and cpp-httplib (with its TLS and compression libraries) live
// in a module of their own, loaded by web_open, so that a run without
// --http neither needs nor loads them (the Windows build, which links every
// library, links the server too).  The server reaches the state it serves
// through this table only.
#pragma once

#include <string>

#include "web/web.h"

struct web_server_api_t {
    std::string (*state_json)();
    std::string (*stats_json)();
    std::string (*calls_json)(const call_query_t& query);
    void (*ring_after)(unsigned long long* seq, std::string* messages, bool* skipped, int wait_ms);
    unsigned long long (*ring_last)();
    void (*ring_wake)();
    std::string (*recording_path)(const std::string& dir, const std::string& name);
    const web_file_t* files;
    int file_count;
    // Why listening failed, asked at once after the failure: the socket
    // library's last error (errno, or Winsock's own on Windows).
    std::string (*listen_error)();
    std::string authorization;  // the Authorization header asked for, or empty
    std::string record_dir;
};

// The module's functions, looked up by these names.
// Serve on address and port: 0, or -1 with why in *error.
typedef int (*web_server_start_fn)(const web_server_api_t* api, const char* address, int port,
                                   std::string* error);
typedef void (*web_server_void_fn)();
#define WEB_SERVER_START "marrowit_web_start"
#define WEB_SERVER_FINISH "marrowit_web_finish"
#define WEB_SERVER_STOP "marrowit_web_stop"

// The server's functions, from its module (module_loaded.cpp) or linked
// into the program (module_linked.cpp): false, with why in *why, when they
// cannot be had.
bool web_server_functions(web_server_start_fn* start, web_server_void_fn* finish,
                          web_server_void_fn* stop, std::string* why);
