// The web server's functions from its module marrowit-web.so, loaded from
// beside the program (the build folder) or from where it is installed.
#include <unistd.h>

#include <climits>

#include "loader/loader.h"
#include "web/server.h"

// The folder of the running program, with its '/'.
static std::string program_folder()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    std::string p(path, (size_t)n);
    return p.substr(0, p.rfind('/') + 1);
}

static void* open_module(std::string* why)
{
    std::string folder = program_folder();
    std::string first_why;
    for (const char* where : {WEB_MODULE_BUILT, WEB_MODULE_INSTALLED}) {
        std::string path = folder + where;
        if (access(path.c_str(), F_OK) != 0)
            continue;
        if (void* module = library_open(path.c_str(), why))
            return module;
        return nullptr;
    }
    *why = "its module " WEB_MODULE_BUILT " is not installed beside the program nor in " +
           folder + WEB_MODULE_INSTALLED;
    return nullptr;
}

bool web_server_functions(web_server_start_fn* start, web_server_void_fn* finish,
                          web_server_void_fn* stop, std::string* why)
{
    void* module = open_module(why);
    if (!module)
        return false;
    *start = (web_server_start_fn)library_symbol(module, WEB_SERVER_START);
    *finish = (web_server_void_fn)library_symbol(module, WEB_SERVER_FINISH);
    *stop = (web_server_void_fn)library_symbol(module, WEB_SERVER_STOP);
    if (*start && *finish && *stop)
        return true;
    *why = "its module is not this version's";
    return false;
}
