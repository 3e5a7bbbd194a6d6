// Short data: category 1 address codewords.  Only the header codeword is
// reported; the data codewords that follow a HEAD are not collected.
//
//   SAM           1   2 .. 8  9 ........ 21  22  23-25  26-27  28 ......................... 48
//   CAT 1 TYPE 0  1   PFIX    IDENT1 (Tar)   .   1      0      (not shown)
//
//   HEAD          1   2 .. 8  9 ........ 21  22  23-25  26  27 ... 28  29 ...... 35  36 ...... 48
//   CAT 1 TYPE 1  1   PFIX    IDENT1         .   1      0   Cwords     Tar prefix    Org ident
//
// TYPE (bits 26-27) and Cwords (bits 27-28) share bit 27, so a HEAD always
// announces 2 or 3 data codewords.
#include "event.h"
#include "families.h"
#include "fields.h"

void report_sam(const mpt1327_t* s)
{
    ptext_format("- SAM  | Single address messages        |    Group: (%d) Tar: (%d)",
                 cw_bits(s->cw, 2, 8), cw_bits(s->cw, 9, 21));
    event_begin("SAM");
    event_int("prefix", cw_bits(s->cw, 2, 8));
    event_int("ident1", cw_bits(s->cw, 9, 21));
    report_line(s);
}

void report_head(const mpt1327_t* s)
{
    ptext_format("- HEAD | Short data message             | Org:(%d)%d  Tar:(%d)%d  Cwords: %d",
                 cw_bits(s->cw, 2, 8), cw_bits(s->cw, 36, 48), cw_bits(s->cw, 29, 35),
                 cw_bits(s->cw, 9, 21), cw_bits(s->cw, 27, 28));
    event_begin("HEAD");
    event_int("prefix", cw_bits(s->cw, 2, 8));
    event_int("ident1", cw_bits(s->cw, 9, 21));
    event_int("cwords", cw_bits(s->cw, 27, 28));
    event_int("tar_prefix", cw_bits(s->cw, 29, 35));
    event_int("org_ident", cw_bits(s->cw, 36, 48));
    report_line(s);
}
