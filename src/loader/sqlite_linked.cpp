// libsqlite3 linked into the program (a build that does not load late):
// always there.
#include "db/db.h"

bool db_library()
{
    return true;
}
