// Which recording /recordings/NAME may serve, on Windows.
#include <filesystem>
#include <system_error>

#include "web/web.h"

std::string web_recording_path(const std::string& dir, const std::string& name)
{
    namespace fs = std::filesystem;
    // A plain name of a file: no folder, drive or stream in it, nothing
    // hidden, no "..".
    if (dir.empty() || name.empty() || name[0] == '.' ||
        name.find_first_of("/\\:") != std::string::npos || name.find('\0') != std::string::npos)
        return "";
    // After every link, still directly inside the folder (a device name
    // such as NUL is not), and a regular file.
    std::error_code error;
    fs::path root = fs::canonical(fs::path(dir), error);
    if (error)
        return "";
    fs::path file = fs::canonical(fs::path(dir) / fs::path(name), error);
    if (error || file.parent_path() != root || !fs::is_regular_file(file, error) || error)
        return "";
    return file.string();
}
