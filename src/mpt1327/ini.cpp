#include "ini.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

static std::string trim(const std::string& s, size_t from, size_t to)
{
    while (from < to && is_blank(s[from]))
        from++;
    while (to > from && is_blank(s[to - 1]))
        to--;
    return s.substr(from, to - from);
}

static std::string lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return s;
}

void ini_parse(ini_t* ini, const std::string& text)
{
    ini->sections.clear();
    ini->entries.clear();
    ini->orphans.clear();
    size_t pos = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)  // UTF-8 byte order mark
        pos = 3;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = trim(text, pos, end);
        pos = end + 1;
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos)
                continue;
            ini->sections.push_back(lower(trim(line, 1, close)));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        if (ini->sections.empty()) {
            ini->orphans.push_back(trim(line, 0, eq));
            continue;
        }
        std::string value = trim(line, eq + 1, line.size());
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
            value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        ini->entries.push_back({(int)ini->sections.size() - 1, lower(trim(line, 0, eq)), value});
    }
}

int ini_read(std::string* text, const char* path)
{
    text->clear();
    std::FILE* f = std::fopen(path, "rb");
    if (!f)
        return -1;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        text->append(chunk, n);
    int failed = std::ferror(f);
    int err = errno;
    std::fclose(f);
    if (failed) {
        text->clear();
        errno = err ? err : EIO;
        return -1;
    }
    return 0;
}

int ini_load(ini_t* ini, const char* path)
{
    std::string text;
    int r = ini_read(&text, path);
    ini_parse(ini, text);
    return r;
}

// The value of the first key of that name in the first section of that name.
const std::string* ini_find(const ini_t* ini, const char* section, const char* key)
{
    std::string s = lower(section), k = lower(key);
    int which = -1;
    for (size_t i = 0; i < ini->sections.size() && which < 0; i++)
        if (ini->sections[i] == s)
            which = (int)i;
    for (const ini_entry_t& e : ini->entries)
        if (e.section == which && e.key == k)
            return &e.value;
    return nullptr;
}

unsigned ini_get_int(const ini_t* ini, const char* section, const char* key, unsigned def)
{
    const std::string* v = ini_find(ini, section, key);
    if (!v || v->empty() || (*v)[0] == '\0')
        return def;
    const char* p = v->c_str();
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    unsigned value = 0;
    while (*p >= '0' && *p <= '9')
        value = value * 10u + (unsigned)(*p++ - '0');
    return negative ? 0u - value : value;
}

void ini_get_string(const ini_t* ini, const char* section, const char* key, const char* def,
                    char* buf, std::size_t size)
{
    if (size == 0)
        return;
    const std::string* v = ini_find(ini, section, key);
    const char* src = v ? v->c_str() : def;
    std::size_t n = std::strlen(src);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(buf, src, n);
    buf[n] = 0;
}

std::string ini_get_string(const ini_t* ini, const char* section, const char* key,
                           const char* def)
{
    const std::string* v = ini_find(ini, section, key);
    return v ? std::string(v->c_str()) : std::string(def);
}
