// Generated control-channel traffic and the JSON lines it gives: shared by
// the tests of the call log, the database and the web page.
#pragma once

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "harness.h"

// A voice call on channel chan of prefix 7: its GTC in slot start, its
// CLEAR in slot end (-1: never cleared), from ident1 (0: 100 + chan).
struct call_plan_t {
    int chan, start, end;
    int ident1 = 0, ident2 = 9;
};

// Slots of a system codeword and an address codeword.  Slots without a
// call's GTC or CLEAR carry an acknowledgement (not reported at FILTER 0),
// or with requests every other one a request (reported at FILTER 5).
inline std::string traffic(int slots, const std::vector<call_plan_t>& calls, unsigned sysid = 0x1234,
                           bool requests = false)
{
    std::map<int, std::string> at;
    for (const call_plan_t& c : calls) {
        at[c.start] = "gtc pfix=7 ident1=" + std::to_string(c.ident1 ? c.ident1 : 100 + c.chan) +
                      " ident2=" + std::to_string(c.ident2) + " chan=" + std::to_string(c.chan);
        if (c.end >= 0)
            at[c.end] = "clear chan=" + std::to_string(c.chan) + " cont=1";
    }
    char ccsc[32];
    std::snprintf(ccsc, sizeof ccsc, "ccsc 0x%04x\n", sysid);
    std::string script;
    for (int k = 0; k < slots; k++) {
        auto it = at.find(k);
        script += ccsc;
        script += it != at.end()         ? it->second
                  : requests && k % 2 == 0 ? "req pfix=7 ident1=30 ident2=40"
                                           : "ack pfix=1 ident1=2 ident2=3";
        script += "\n";
    }
    return script;
}

// The JSON objects of --json lines, all or those of one type.
inline std::vector<nlohmann::json> json_objects(const std::string& text, const char* type = nullptr)
{
    std::vector<nlohmann::json> objects;
    for (const std::string& line : lines_of(text)) {
        nlohmann::json o = nlohmann::json::parse(line);
        if (!type || o["type"] == type)
            objects.push_back(o);
    }
    return objects;
}
