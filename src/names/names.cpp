// Names for units and groups: the aliases file, its reading and the lookup.
#include "names/names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

namespace {

std::string path;
std::vector<name_entry_t> entries;                      // in the order they win
std::map<unsigned, std::vector<size_t>> by_prefix;      // indices into entries
std::filesystem::file_time_type seen_time;
std::uintmax_t seen_size;
std::chrono::steady_clock::time_point checked;

std::string trim(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return "";
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

// The fields of one CSV line; false when a quote is not closed or text
// follows a closing quote.
bool split(const std::string& line, std::vector<std::string>* fields, std::string* why)
{
    fields->clear();
    size_t i = 0, n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t'))
            i++;
        std::string field;
        if (i < n && line[i] == '"') {
            i++;
            for (;;) {
                if (i >= n) {
                    *why = "a quote is not closed";
                    return false;
                }
                if (line[i] == '"') {
                    if (i + 1 < n && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    i++;
                    break;
                }
                field += line[i++];
            }
            while (i < n && (line[i] == ' ' || line[i] == '\t'))
                i++;
            if (i < n && line[i] != ',') {
                *why = "text after a closing quote";
                return false;
            }
        } else {
            size_t comma = line.find(',', i);
            field = trim(line.substr(i, comma == std::string::npos ? std::string::npos : comma - i));
            i = comma == std::string::npos ? n : comma;
        }
        fields->push_back(field);
        if (i >= n)
            return true;
        i++;  // the comma
    }
}

// A whole decimal number from low to high.
bool number(const std::string& s, unsigned low, unsigned high, unsigned* v)
{
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long x = std::stoul(s);
    if (x < low || x > high)
        return false;
    *v = (unsigned)x;
    return true;
}

bool parse_line(const std::string& line, name_entry_t* e, std::string* why)
{
    std::vector<std::string> f;
    if (!split(line, &f, why))
        return false;
    if (f.size() != 4) {
        *why = std::to_string(f.size()) + " fields, not 4 (system, prefix, ident or range, name)";
        return false;
    }
    if (f[0] == "*") {
        e->sys = -1;
    } else {
        const std::string& s = f[0];
        bool hex = s.size() > 2 && s.size() <= 6 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
                   s.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
        if (!hex) {
            *why = "the system '" + s + "' is not * or a hex identity such as 0x1234";
            return false;
        }
        e->sys = (int)std::stoul(s.substr(2), nullptr, 16);
    }
    if (!number(f[1], 0, 127, &e->prefix)) {
        *why = "the prefix '" + f[1] + "' is not a number from 0 to 127";
        return false;
    }
    size_t dash = f[2].find('-');
    std::string low = trim(f[2].substr(0, dash));
    std::string high = dash == std::string::npos ? low : trim(f[2].substr(dash + 1));
    if (!number(low, 0, 8191, &e->low) || !number(high, 0, 8191, &e->high) || e->high < e->low) {
        *why = "the ident '" + f[2] + "' is not a number from 0 to 8191 or a range such as 1001-1099";
        return false;
    }
    e->name = f[3];
    if (e->name.empty()) {
        *why = "the name is empty";
        return false;
    }
    return true;
}

void index_entries()
{
    // A line of its system first, then the narrowest range, then the first line.
    std::stable_sort(entries.begin(), entries.end(), [](const name_entry_t& a, const name_entry_t& b) {
        if ((a.sys < 0) != (b.sys < 0))
            return a.sys >= 0;
        return a.high - a.low < b.high - b.low;
    });
    by_prefix.clear();
    for (size_t k = 0; k < entries.size(); k++)
        by_prefix[entries[k].prefix].push_back(k);
}

// Read the file: true, or false with why.
bool load(std::vector<name_entry_t>* got, std::string* why)
{
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = std::string("cannot be read: ") + std::strerror(errno ? errno : ENOENT);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string line_why;
    if (!names_parse(text.str(), got, &line_why)) {
        *why = line_why;
        return false;
    }
    return true;
}

void note_file()
{
    std::error_code ec;
    seen_time = std::filesystem::last_write_time(path, ec);
    seen_size = std::filesystem::file_size(path, ec);
}

void amend_ident(event_t& e, const char* ident, const char* name_field, int sys, unsigned prefix)
{
    for (size_t k = 0; k < e.fields.size(); k++) {
        if (e.fields[k].name != ident || e.fields[k].kind != EVENT_INT)
            continue;
        const std::string* name = names_lookup(sys, prefix, (unsigned)e.fields[k].i);
        if (!name)
            return;
        if (k + 1 < e.fields.size() && e.fields[k + 1].name == name_field)
            e.fields[k + 1].text = *name;
        else
            e.fields.insert(e.fields.begin() + (std::ptrdiff_t)k + 1,
                            event_field_t{name_field, EVENT_TEXT, 0, 0, 0, *name});
        return;
    }
}

}  // namespace

bool names_parse(const std::string& text, std::vector<name_entry_t>* got, std::string* why)
{
    got->clear();
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
        if (number == 1 && line.compare(0, 3, "\xef\xbb\xbf") == 0)
            line.erase(0, 3);  // a byte order mark
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        name_entry_t e;
        e.line = number;
        std::string line_why;
        if (!parse_line(t, &e, &line_why)) {
            *why = "line " + std::to_string(number) + ": " + line_why;
            return false;
        }
        got->push_back(e);
    }
    return true;
}

int names_open(const char* file)
{
    path = file;
    std::string why;
    std::vector<name_entry_t> got;
    note_file();
    if (!load(&got, &why)) {
        std::fprintf(stderr, "marrowit: %s %s\n", file, why.c_str());
        return -1;
    }
    entries = got;
    index_entries();
    checked = std::chrono::steady_clock::now();
    event_amend = names_amend;
    input_add_ticker(names_tick);
    return 0;
}

const std::string* names_lookup(int sys, unsigned prefix, unsigned ident)
{
    auto it = by_prefix.find(prefix);
    if (it == by_prefix.end())
        return nullptr;
    for (size_t k : it->second) {
        const name_entry_t& e = entries[k];
        if ((e.sys < 0 || e.sys == sys) && ident >= e.low && ident <= e.high)
            return &e.name;
    }
    return nullptr;
}

void names_amend(event_t& e)
{
    const event_field_t* prefix = event_field(e, "prefix");
    if (!prefix || prefix->kind != EVENT_INT)
        return;
    unsigned p = (unsigned)prefix->i;
    amend_ident(e, "ident1", "ident1_name", e.sys, p);
    amend_ident(e, "ident2", "ident2_name", e.sys, p);
}

void names_tick()
{
    if (path.empty())
        return;
    auto now = std::chrono::steady_clock::now();
    if (now - checked < std::chrono::seconds(1))
        return;
    checked = now;
    std::error_code ec;
    auto when = std::filesystem::last_write_time(path, ec);
    auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        if (seen_size != (std::uintmax_t)-1)
            std::fprintf(stderr, "marrowit: %s cannot be read: %s; keeping the names read before\n",
                         path.c_str(), ec.message().c_str());
        seen_size = (std::uintmax_t)-1;
        return;
    }
    if (when == seen_time && size == seen_size)
        return;
    seen_time = when;
    seen_size = size;
    std::vector<name_entry_t> got;
    std::string why;
    if (!load(&got, &why)) {
        std::fprintf(stderr, "marrowit: %s %s; keeping the names read before\n", path.c_str(),
                     why.c_str());
        return;
    }
    entries = got;
    index_entries();
}

std::string names_file_safe(const std::string& name)
{
    std::string out;
    for (unsigned char c : name) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-';
        if (keep)
            out += (char)c;
        else if (out.empty() || out.back() != '-')
            out += '-';
    }
    size_t a = out.find_first_not_of(".-");
    if (a == std::string::npos)
        return "";
    out = out.substr(a, 40);
    return out.substr(0, out.find_last_not_of(".-") + 1);
}

void names_reset()
{
    path.clear();
    entries.clear();
    by_prefix.clear();
    if (event_amend == names_amend)
        event_amend = nullptr;
}
