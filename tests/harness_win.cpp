// Running the real program as a child on Windows.
#include <windows.h>

#include <stdexcept>

#include "harness.h"

namespace {

// A path of the build machine seen from a Windows program run under Wine:
// Wine shows the Unix root as drive Z:.  Native Windows paths pass as they are.
std::string native_path(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string p = "Z:" + path;
    for (char& c : p)
        if (c == '/')
            c = '\\';
    return p;
}

// One argument quoted so that the C runtime's parser gives it back as it was.
std::string quote(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
        return arg;
    std::string q = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        if (c == '"')
            q.append(backslashes * 2 + 1, '\\');
        else
            q.append(backslashes, '\\');
        backslashes = 0;
        q += c;
    }
    q.append(backslashes * 2, '\\');
    q += '"';
    return q;
}

// A file the child inherits as one of its standard handles.
HANDLE inheritable(const std::string& path, bool write)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE h = CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                           write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + path);
    return h;
}

}  // namespace

// The child's standard handles are files rather than pipes: under Wine a
// helper process (the desktop) may be started from the child and inherit
// them, and a pipe would then never report its end.
run_result_t run_program(const std::string& program, const std::vector<std::string>& args,
                         const std::string& dir, const std::string& stdin_data, int timeout_s)
{
    temp_dir_t io;
    write_file(io.file("stdin"), stdin_data);
    HANDLE in = inheritable(io.file("stdin"), false);
    HANDLE out = inheritable(io.file("stdout"), true);
    HANDLE err = inheritable(io.file("stderr"), true);

    std::string cmd = quote(native_path(program));
    for (const std::string& a : args)
        cmd += " " + quote(a);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi;
    std::string cwd = native_path(dir);
    BOOL started = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!started)
        throw std::runtime_error("cannot start " + cmd);

    run_result_t r;
    if (WaitForSingleObject(pi.hProcess, (DWORD)timeout_s * 1000) == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 128 + 9);
        WaitForSingleObject(pi.hProcess, INFINITE);
        r.status = 128 + 9;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        r.status = (int)(code & 0xff);  // as a POSIX parent sees exit(-1): 255
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    r.out = read_file(io.file("stdout"));
    r.err = read_file(io.file("stderr"));
    return r;
}
