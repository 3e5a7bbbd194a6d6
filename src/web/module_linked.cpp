// The web server linked into the program (the Windows build, which links
// every library): its functions are always there.
#include "web/server.h"

extern "C" int marrowit_web_start(const web_server_api_t* api, const char* address, int port,
                                  std::string* error);
extern "C" void marrowit_web_finish();
extern "C" void marrowit_web_stop();

bool web_server_functions(web_server_start_fn* start, web_server_void_fn* finish,
                          web_server_void_fn* stop, std::string*)
{
    *start = marrowit_web_start;
    *finish = marrowit_web_finish;
    *stop = marrowit_web_stop;
    return true;
}
