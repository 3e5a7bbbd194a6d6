// libmosquitto linked into the program (the Windows build): always there.
#include "events/mqtt.h"

bool mqtt_library()
{
    return true;
}
