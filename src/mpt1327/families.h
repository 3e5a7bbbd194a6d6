// The message families the decoder routes a checked codeword to, and the
// line discipline they share.  Internal to the decoder.
#pragma once

#include "mpt1327.h"

// Append to ptext with a printf format; the line is cut, never overrun,
// at the end of the buffer.
void ptext_append(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Format ptext afresh.
void ptext_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// BINARY dump of the four words when BINARY is exactly 1, then pprint(ptext).
void report_line(const mpt1327_t* state);

// Local time as the 24-character ctime text and its line feed.
const char* time_stamp();

// System codewords and category 0 control messages.
void report_ccsc(const mpt1327_t* state);
void report_dcsc(const mpt1327_t* state);
void report_aloha(const mpt1327_t* state);
void report_ack(const mpt1327_t* state);
void report_bcast(const mpt1327_t* state);
void report_maint(const mpt1327_t* state);
void report_move(const mpt1327_t* state);

// Short data (category 1).
void report_sam(const mpt1327_t* state);
void report_head(const mpt1327_t* state);

// Requests and ahoys (category 0, type 2).
void report_request(const mpt1327_t* state);

// Bit 22: channel allocation (GTC) with traffic following, or clear-down.
void report_allocation(const mpt1327_t* state);
