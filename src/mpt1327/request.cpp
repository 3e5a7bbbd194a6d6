// Requests and ahoys: category 0, type 2.  The same FUNC code is a request
// when a radio unit sends it and an ahoy when the system does, so most
// reports give both readings, the ahoy on a second line.
//
//   1   2 .. 8  9 ....... 21  22  23-25  26-27  28-30  31 ....... 43  44  45  46  47  48
//   1   PFIX    IDENT1        .   0      2      FUNC   IDENT2         V   A   C   E   .
//                                                                     |-slots-|
//
//   V  voice flag (FUNC 0, 3, 4): 1 Voice, 0 Data
//   A  ahoy address flag (FUNC 0): 1 shows IDENT2 as Org, 0 IDENT1 as Tar
//   C  cancel flag (FUNC 3)
//   E  emergency flag (FUNC 0)
//   slots, bits 44-45 (FUNC 7)
//
// The record is named by the request (RQS, RQ, RQX, ...) and carries the
// ahoy reading's name in "ahoy" when the report gives one.
#include "event.h"
#include "families.h"
#include "fields.h"

void report_request(const mpt1327_t* s)
{
    const unsigned short* cw = s->cw;
    unsigned pfix = cw_bits(cw, 2, 8);
    unsigned ident1 = cw_bits(cw, 9, 21);
    unsigned ident2 = cw_bits(cw, 31, 43);
    unsigned slots = cw_bits(cw, 44, 45);
    const char* medium = cw_bits(cw, 44, 44) ? " Voice" : " Data";

    static const char* const request[8] = {"RQS", "RQ", "RQX", "RQT", "RQE", "RQR", "RQQ", "RQC"};
    static const char* const ahoy[8] = {"AHY", nullptr, "AHYX", nullptr, nullptr, "AHYP", "AHYQ", "AHYC"};
    unsigned func = cw_bits(cw, 28, 30);
    event_begin(request[func]);
    if (ahoy[func])
        event_text("ahoy", ahoy[func]);
    event_int("func", func);
    if (func != 1) {
        event_int("prefix", pfix);
        event_int("ident1", ident1);
        event_int("ident2", ident2);
    }
    if (func == 0 || func == 3 || func == 4)
        event_bool("voice", cw_bits(cw, 44, 44) != 0);
    if (func == 0) {
        event_bool("ahoy_org", cw_bits(cw, 45, 45) != 0);
        event_bool("emergency", cw_bits(cw, 47, 47) != 0);
    }
    if (func == 3)
        event_bool("cancel", cw_bits(cw, 46, 46) != 0);
    if (func == 7)
        event_int("slots", slots);

    ptext_format("-  ");
    switch (func) {
    case 0:
        ptext_append("RQS | Request random access          | (%3d)  Org: %4d  Tar: %4d", pfix,
                     ident2, ident1);
        ptext_append("%s", medium);
        ptext_append("\n   AHY | Availability check message     | Begin Ack a: ");
        if (cw_bits(cw, 45, 45))
            ptext_append("(%d) Org:%d", pfix, ident2);
        else
            ptext_append("(%d) Tar:%d", pfix, ident1);
        ptext_append("%s", medium);
        if (cw_bits(cw, 47, 47))
            ptext_append(" Emergency");
        break;
    case 1:
        ptext_append("RQ  | REQ dedicated                  |");
        break;
    case 2:
        ptext_append("RQX | Request call cancel/abort      | (%3d)  Org: %4d       Tar: %4d", pfix,
                     ident2, ident1);
        ptext_append("\n  AHYX | Cancel alert/waiting state     | (%3d)  Org: %4d       Tar: %4d",
                     pfix, ident2, ident1);
        break;
    case 3:
        ptext_append("RQT | ");
        ptext_append("%s", cw_bits(cw, 46, 46) ? "Cancel" : "Request");
        ptext_append(" Request call diversion | (%3d) Org: %4d  Tar: %4d", pfix, ident2, ident1);
        ptext_append("%s", medium);
        break;
    case 4:
        ptext_append("RQE | Request emergency call         | (%3d)  Org: %4d  Tar: %4d ", pfix,
                     ident2, ident1);
        ptext_append("%s", medium);
        break;
    case 5:
        ptext_append("RQR | Request to register            | (%3d)  Org: %4d", pfix, ident1);
        ptext_append("\n  AHYP | Called Unit Presence Monitoring| (%3d)  Org: %4d Tar: %4d", pfix,
                     ident2, ident1);
        break;
    case 6:
        ptext_append("RQQ | Request status transaction     | (%3d)  Org: %4d       Tar: %4d", pfix,
                     ident2, ident1);
        ptext_append("\n  AHYQ | Status message                 | (%3d)  Org: %4d       Tar: %4d",
                     pfix, ident2, ident1);
        break;
    default:
        ptext_append("RQC | Request to send short data mess| (%3d)  Org: %4d  Tar: %4d  Slots:%d",
                     pfix, ident2, ident1, slots);
        ptext_append("\n  AHYC | Short data invitation message  | (%3d)  Org: %4d  Tar: %4d  Slots:%d",
                     pfix, ident2, ident1, slots);
        break;
    }
    report_line(s);
}
