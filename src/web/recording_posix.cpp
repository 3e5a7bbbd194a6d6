// Which recording /recordings/NAME may serve, on POSIX systems.
#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "web/web.h"

// The real path of a file or folder, without symbolic links; "" if none.
static std::string real(const std::string& path)
{
    char* p = realpath(path.c_str(), nullptr);
    if (!p)
        return "";
    std::string r = p;
    std::free(p);
    return r;
}

std::string web_recording_path(const std::string& dir, const std::string& name)
{
    // A plain name of a file: no folder in it, nothing hidden, no "..".
    if (dir.empty() || name.empty() || name[0] == '.' ||
        name.find_first_of("/\\:") != std::string::npos || name.find('\0') != std::string::npos)
        return "";
    std::string root = real(dir);
    std::string file = real(dir + "/" + name);
    // After every symbolic link, still directly inside the folder, and a
    // regular file.
    struct stat st;
    if (root.empty() || file.size() <= root.size() + 1 || file.compare(0, root.size(), root) != 0 ||
        file[root.size()] != '/' || file.find('/', root.size() + 1) != std::string::npos ||
        stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return "";
    return file;
}
