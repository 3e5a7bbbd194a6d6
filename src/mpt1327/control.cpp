// System codewords and category 0 control-channel messages.
//
//   CCSC / DCSC   1   2 ............. 16  17 ...... 32  33 ...... 48  49 ...... 64
//                 0   SYS                 (not used)    0xAAAA        0xC4D7 / 0x3B28
//                                                                     (French: 0xB433 / 0x4BCC)
//
//   ALOHA         1   2 .. 8  9 ..... 21  22  23-25  26-27  28-30  31-34  35-37  38-39  40-44  45-48
//   CAT 0 TYPE 0  1   PFIX    IDENT1      .   0      0      FUNC   .      WT     RSVD   M      N
//
//   ACK           1   2 .. 8  9 ..... 21  22  23-25  26-27  28-30  31 ....... 43  44-48
//   CAT 0 TYPE 1  1   PFIX    IDENT1      .   0      1      FUNC   IDENT2 (Org)   .
//
//   BCAST         1   2 .. 6  7 ........ 21  22  23-25  26-27  28-30  31 .. 40  41-44  45-48
//   TYPE 3 FUNC 4 1   SYSDEF  SYS            .   0      3      4      CHAN      .      Id red
//
//   MAINT / MOVE  1   2 ............... 21  22  23-25  26-27  28-30  31 .. 40  41-48
//   TYPE 3 FUNC 1/3  .                      .   0      3      1 / 3  CHAN      .
#include "chanmap.h"
#include "event.h"
#include "families.h"
#include "fields.h"

static bool is_system_codeword(const mpt1327_t* s, bool (*sync)(unsigned short))
{
    return cw_bits(s->cw, 1, 1) == 0 && cw_bits(s->cw, 33, 48) == 0xAAAA &&
           sync((unsigned short)cw_bits(s->cw, 49, 64));
}

void report_ccsc(const mpt1327_t* s)
{
    if (!(filt > 4) || !is_system_codeword(s, is_control_sync))
        return;
    ptext_format("- CCSC | Control Channel System Codeword|   SYS Id: 0x%4.4x",
                 cw_bits(s->cw, 2, 16));
    event_begin("CCSC");
    event_int("sysid", cw_bits(s->cw, 2, 16));
    report_line(s);
}

void report_dcsc(const mpt1327_t* s)
{
    if (!(filt > 4) || !is_system_codeword(s, is_data_sync))
        return;
    ptext_format("- DCSC |  Data Channel Systm Codeword   |   SYS Id: 0x%4.4x",
                 cw_bits(s->cw, 2, 16));
    event_begin("DCSC");
    event_int("sysid", cw_bits(s->cw, 2, 16));
    report_line(s);
}

void report_aloha(const mpt1327_t* s)
{
    static const char* const variant[8] = {
        " ALH | General single Codeword        |",
        "ALHS | Messages invited, except RQD   |",
        "ALHD | Messages invited, except RQS   |",
        "ALHE | Emergency requests (RQE) only  |",
        "ALHR | Registration/Emergency request |",
        "ALHX | Messages invited, except RQR   |",
        "ALHF | Fall-back mode                 |",
        "ALH? | Reserved                       |",
    };
    static const char* const name[8] = {"ALH", "ALHS", "ALHD", "ALHE", "ALHR", "ALHX", "ALHF", "ALH?"};
    unsigned func = cw_bits(s->cw, 28, 30);
    console_write("- ALOHA");  // console only, never logged
    ptext_format("- %s", variant[func]);
    ptext_append(" (%d) Id:%d WT:%d RSVD:%d M:%d N:%d", cw_bits(s->cw, 2, 8),
                 cw_bits(s->cw, 9, 21), cw_bits(s->cw, 35, 37), cw_bits(s->cw, 38, 39),
                 cw_bits(s->cw, 40, 44), cw_bits(s->cw, 45, 48));
    event_begin("ALOHA");
    event_text("variant", name[func]);
    event_int("func", func);
    event_int("prefix", cw_bits(s->cw, 2, 8));
    event_int("ident1", cw_bits(s->cw, 9, 21));
    event_int("wt", cw_bits(s->cw, 35, 37));
    event_int("rsvd", cw_bits(s->cw, 38, 39));
    event_int("m", cw_bits(s->cw, 40, 44));
    event_int("n", cw_bits(s->cw, 45, 48));
    report_line(s);
}

void report_ack(const mpt1327_t* s)
{
    static const char* const variant[8] = {
        "K | General acknowledgement        |",
        "I | Intermediate ack, more follows |",
        "Q | Acknowledge, call queued :-(   |",
        "X | Acknowledge, message rejected  |",
        "V | Acknowledge, unit unavailable  |",
        "E |* Acknowledge, emergency call * |",
        "T | Acknowledge, try given address |",
        "B |Acknowledge, call-back or negat.|",
    };
    static const char* const name[8] = {"ACK", "ACKI", "ACKQ", "ACKX", "ACKV", "ACKE", "ACKT", "ACKB"};
    unsigned func = cw_bits(s->cw, 28, 30);
    ptext_format("- ACK%s", variant[func]);
    ptext_append(" (%3d)  Org: %4d       Tar: %4d", cw_bits(s->cw, 2, 8), cw_bits(s->cw, 31, 43),
                 cw_bits(s->cw, 9, 21));
    event_begin("ACK");
    event_text("variant", name[func]);
    event_int("func", func);
    event_int("prefix", cw_bits(s->cw, 2, 8));
    event_int("ident1", cw_bits(s->cw, 9, 21));
    event_int("ident2", cw_bits(s->cw, 31, 43));
    report_line(s);
}

void report_bcast(const mpt1327_t* s)
{
    unsigned sysdef = cw_bits(s->cw, 2, 6);
    unsigned sysid = cw_bits(s->cw, 7, 21);
    unsigned chan = cw_bits(s->cw, 31, 40);
    unsigned idred = cw_bits(s->cw, 45, 48);
    switch (sysdef) {
    case 0:
        ptext_format("- BCAST| Control Channel Marker         |   Control Ch: %d   SYS: 0x%4.4x",
                     chan, sysid);
        break;
    case 1:
        ptext_format("- BCAST| Call clear-down                |   Control Ch: %d   SYS: 0x%4.4x",
                     chan, sysid);
        break;
    case 2:
        ptext_format("- BCAST| Call maintenance               |   SYS: 0x%4.4x", sysid);
        break;
    case 3:
        ptext_format("- BCAST| Registration Parameters        |   SYS: 0x%4.4x", sysid);
        break;
    case 4:
        ptext_format("- BCAST| Neighbour Channel              |   Ch:  %d  Id red: %d  SYS: 0x%4.4x",
                     chan, idred, sysid);
        break;
    case 5:
        ptext_format("- BCAST| Unit respond (Vote now)        |   Ch:  %d  Id red: %d  SYS: 0x%4.4x",
                     chan, idred, sysid);
        break;
    default:
        ptext_format("- BCAST| Reserved                       |   Sysdef: %d    SYS: 0x%4.4x",
                     sysdef, sysid);
        break;
    }
    event_begin("BCAST");
    event_int("sysdef", sysdef);
    event_int("sysid", sysid);
    if (sysdef <= 1 || sysdef == 4 || sysdef == 5)
        event_int("channel", chan);
    if (sysdef == 4 || sysdef == 5)
        event_int("id_red", idred);
    report_line(s);
}

void report_maint(const mpt1327_t* s)
{
    unsigned chan = cw_bits(s->cw, 31, 40);
    double freq = chan_freq(chan);
    ptext_format("- MAINT| Call maintenance message       | (Act. Chan: %d Freq: %s MHz)", chan,
                 freq_text(freq).c_str());
    event_begin("MAINT");
    event_int("channel", chan);
    event_freq("freq", freq);
    report_line(s);
}

void report_move(const mpt1327_t* s)
{
    unsigned chan = cw_bits(s->cw, 31, 40);
    double freq = chan_freq(chan);
    if (sound != 0)
        console_write("\a");
    ptext_format("- MOVE | Move to specified Control-Chan.|      ->     Ch:%3d Freq:%s MHz", chan,
                 freq_text(freq).c_str());
    event_begin("MOVE");
    event_int("channel", chan);
    event_freq("freq", freq);
    report_line(s);
}
