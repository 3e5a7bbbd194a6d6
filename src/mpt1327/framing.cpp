// Codeword framing, synchronisation and routing.
//
// The control channel carries slots of two codewords.  A system codeword
// (CCSC on a control channel, DCSC on a data channel) ends in a sync word in
// place of its check field, and the 64 bits after it are one address codeword:
//
//   system codeword   1    2 .......... 16  17 ...... 32  33 ...... 48  49 ...... 64
//                     0    SYS (15 bits)    (not used)    0xAAAA        0xC4D7 / 0x3B28
//                                                                       (French: 0xB433 / 0x4BCC)
//
//   address codeword  1    2 ... 8  9 ....... 21  22   23-25  26-27  28-30  31 ..... 48  49 .. 64
//                     1    PFIX     IDENT1        b22  CAT    TYPE   FUNC   parameters    check
//
// Hunting: every bit is shifted into the 64-bit register, and when its last
// 16 bits are a sync word the register is checked as a system codeword.  The
// sync word opens a window of exactly 64 bits whatever the check said; the
// register is then checked as an address codeword and routed to the message
// families, and hunting starts again with the next bit.
//
// With CORRECT=1 sync words and the ends of windows are handed to
// correct.cpp, whose states 2 and 3 look for the next slot and re-frame;
// without it no other framing state lasts beyond one bit.
#include <cstring>

#include "event.h"
#include "correct.h"
#include "families.h"
#include "fields.h"
#include "mpt1327/decoder.h"

mpt1327_t mpt1327_state;
sync_pair_t sync_words[2] = {{SYNC_CONTROL, SYNC_DATA}, {SYNC_CONTROL, SYNC_DATA}};
decode_counts_t decode_counts;
unsigned short currentsys = 0xffff;
unsigned long long system_codewords;  // counted for the control channel hunter
char sys[8] = "0xffff";
// One decoder's (decoder.h).
decoder_var(mpt1327_state);
decoder_var(sync_words);
decoder_var(decode_counts);
decoder_var(currentsys);
decoder_var(system_codewords);
decoder_var(sys);

static const char banner_line[] =
    "***************************    Protocol-Decoder    ***************************";
static const char header_tail[] =
    "******************************************************************************\n";

// The system header line, with NAME cut so that the line always fits ptext
// whole: its line ends and the row of stars are never lost.
static void print_header(unsigned sysid)
{
    char tail[160];
    std::snprintf(tail, sizeof tail, " | CCh-Frequency: %.4f MHz\n%s", control, header_tail);
    int head = std::snprintf(ptext, sizeof ptext, "  SYS 0x%4.4x  | ", sysid);
    int room = (int)sizeof ptext - 1 - head - (int)std::strlen(tail);
    if (room < 0)
        room = 0;
    std::snprintf(ptext + head, sizeof ptext - head, "%.*s%s", room, sysname, tail);
    pprint(ptext);
    event_begin("identity");
    event_int("sysid", sysid);
    event_text("name", sysname);
    event_real("cch_freq", control, 4);
    event_report();
}

static void track_identity(const mpt1327_t* s)
{
    unsigned sysid = cw_bits(s->cw, 2, 16);
    system_codewords++;
    if (sysid == currentsys)
        return;
    bool known = false;
    for (unsigned short seen : decode_counts.systems)
        known = known || seen == sysid;
    if (!known)
        decode_counts.systems.push_back((unsigned short)sysid);
    currentsys = (unsigned short)sysid;
    std::snprintf(sys, sizeof sys, "0x%4.4x", sysid);
    mpt1327_setup();
    pprint(banner_line);
    print_header(sysid);
}

// One valid address codeword.  Every step is evaluated; one codeword can
// give several lines.  Bit 22 = 0 makes it a GTC, whose channel bits the
// category steps read as CAT/TYPE/FUNC: their lines are printed, but only
// the GTC's record reaches the structured outputs.
void framing_address(mpt1327_t* s)
{
    timeout_codeword();
    event_withheld = cw_bits(s->cw, 22, 22) == 0;
    unsigned cat = cw_bits(s->cw, 23, 25);
    unsigned type = cw_bits(s->cw, 26, 27);
    unsigned func = cw_bits(s->cw, 28, 30);

    if (cat == 0) {
        if (type == 0) {
            pprint("ALOHA");
            if (filt > 3)
                report_aloha(s);
        }
        if (filt > 0 && type == 1)
            report_ack(s);
        if (type == 2) {
            pprint("REQ / AHOY");
            if (filt > 2)
                report_request(s);
        }
        if (type == 3)
            pprint("MISC");
    }
    if (filt > 1 && cat == 0 && type == 3 && func == 4)
        report_bcast(s);
    if (filt > 0 && cat == 1 && type == 0)
        report_sam(s);
    if (filt > 0 && cat == 1 && type == 1)
        report_head(s);
    if (cat == 0 && type == 3 && func == 1)
        report_maint(s);
    if (cat == 0 && type == 3 && func == 3)
        report_move(s);
    event_withheld = false;
    report_allocation(s);
}

// One valid system codeword.
void framing_system(mpt1327_t* s)
{
    timeout_codeword();
    track_identity(s);
    report_ccsc(s);
    report_dcsc(s);
}

void mpt1327_end(mpt1327_t* state)
{
    if (correct == 1)
        correct_end(state);
}

void mpt1327(unsigned char bit, mpt1327_t* state)
{
    unsigned short* cw = state->cw;
    cw[0] = (unsigned short)(cw[0] << 1 | cw[1] >> 15);
    cw[1] = (unsigned short)(cw[1] << 1 | cw[2] >> 15);
    cw[2] = (unsigned short)(cw[2] << 1 | cw[3] >> 15);
    cw[3] = (unsigned short)(cw[3] << 1 | (bit ? 1 : 0));
    state->nbits++;

    if (state->framing == 0) {
        if (!is_sync(cw[3]))
            return;
        if (correct == 1) {
            correct_sync(state);
            return;
        }
        decode_counts.syncs++;
        if (mpt1327_fcs(state) == 0) {
            decode_counts.passed++;
            framing_system(state);
        } else {
            decode_counts.failed++;
        }
        state->framing = 1;
        state->nbits = 0;
    } else if (state->framing == 1) {
        if (state->nbits != 64)
            return;
        if (correct == 1) {
            correct_window_end(state);
            return;
        }
        if (mpt1327_fcs(state) == 0) {
            decode_counts.passed++;
            framing_address(state);
        } else {
            decode_counts.failed++;
        }
        state->framing = 0;
        state->nbits = 0;
    } else if (state->framing == FRAMING_CORRECT_HUNTING && correct == 1) {
        correct_hunting(state);
    } else if (!correct_framing(state)) {
        state->framing = 0;
    }
}
