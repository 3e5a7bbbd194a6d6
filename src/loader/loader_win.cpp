// Libraries loaded at run time on Windows: the DLLs shipped beside
// marrowit.exe are found there first.
#include <windows.h>

#include <cstdlib>

#include "loader.h"

namespace {

// Windows' text for an error code, without its line end.
std::string error_text(DWORD code)
{
    char text[512] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text,
                             nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = 0;
    if (n == 0)
        return "error " + std::to_string(code);
    return text;
}

}  // namespace

void* library_open(const char* file, std::string* why)
{
    // No dialog box for a DLL that is missing one of its own.
    UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE library = LoadLibraryA(file);
    DWORD code = GetLastError();
    SetErrorMode(old_mode);
    if (!library)
        *why = std::string(file) + ": " + error_text(code);
    return reinterpret_cast<void*>(library);
}

void* library_symbol(void* library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void library_plugins_beside_program(const char* var, const char* folder)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return;
    std::string beside(path, n);
    beside = beside.substr(0, beside.find_last_of("\\/") + 1) + folder;
    const char* old = std::getenv(var);
    std::string value = old && *old ? std::string(old) + ";" + beside : beside;
    _putenv_s(var, value.c_str());
}
