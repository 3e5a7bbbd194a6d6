// A build without SQLite: --db is refused.
#include <cstdio>

#include "db/db.h"

const bool db_available = false;
bool db_wait_for_room;

int db_open(const char*)
{
    std::fprintf(stderr, "marrowit: --db is not available in this build (no SQLite)\n");
    return -1;
}

bool db_library()
{
    return false;
}

void db_start() {}
void db_finish() {}
void db_reset() {}

long long db_call_history(const call_query_t&, std::vector<event_t>* calls)
{
    calls->clear();
    return -1;
}

long long db_call_history_times(const call_query_t&, std::vector<event_t>* calls,
                                std::vector<long long>* end_ms)
{
    calls->clear();
    if (end_ms)
        end_ms->clear();
    return -1;
}
