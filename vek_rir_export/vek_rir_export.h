// vek_rir_export.h - the companion reader's own declarations: its options, the log file it
// reads (and how one slot of a log that is being written is read safely), the cursor file and
// the output lines. The program links the library like any other consumer; what it takes from
// the core's internals (the format, the header checks, the ring cursor, the dump's line) is
// used in vek_rir_export_log.cpp and, for the text line, vek_rir_export_output.cpp only.
#pragma once

#include "vek_rir/vek_rir_int.h"

#include <stdio.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr char vek_rir_export_name[] = "vek_rir_export";
inline constexpr int VEK_RIR_EXPORT_CLASSES_MAX = 32;
// A JSON line: the two strings escaped at worst six bytes a byte, plus the fixed keys.
inline constexpr size_t VEK_RIR_EXPORT_LINE_SIZE = 2048;

// ---- options (vek_rir_export_options.cpp) ------------------------------------------------

enum vek_rir_export_format_t { VEK_RIR_EXPORT_FORMAT_TEXT, VEK_RIR_EXPORT_FORMAT_JSON };

struct vek_rir_export_options_t {
    const char *log_path = vek_rir_local_path; // -M, or the live log
    bool log_is_live = true;                   // no -M: the live log, opened without links
    bool follow = false;
    vek_rir_export_format_t format = VEK_RIR_EXPORT_FORMAT_TEXT;
    bool since_set = false;
    uint64_t since = 0;
    bool until_set = false;
    uint64_t until = 0;
    int class_count = 0;
    uint64_t classes[VEK_RIR_EXPORT_CLASSES_MAX] = {};
    const char *identity = nullptr; // null: any identity
    uint64_t node_flag = 0;         // VEK_RIR_RECORD_FLAG_NODE_A or _B, 0: any node
    const char *cursor_path = nullptr;
    bool help = false;
    bool version = false;
};

// Parses the command line; 0, or 1 with one line (without the program's name) in error.
int vek_rir_export_options_parse(int argc, char **argv, vek_rir_export_options_t *options,
                                 char *error, size_t error_size);
// Seconds since the epoch, or "YYYY-MM-DD HH:MM:SS" in UTC; 0 or 1.
int vek_rir_export_time_parse(const char *text, uint64_t *secs);
// A class name of the dump ("EVENT") or a number (decimal, 0x hexadecimal, 0 octal); 0 or 1.
int vek_rir_export_class_parse(const char *text, uint64_t *rir_class);
bool vek_rir_export_filter_pass(const vek_rir_export_options_t *options,
                                const vek_rir_record_real_t &real);
void vek_rir_export_usage(FILE *stream);

// ---- the log file (vek_rir_export_log.cpp) -----------------------------------------------

// What a slot of a node's log holds when the record with a given sequence number is asked for.
enum vek_rir_export_slot_t {
    VEK_RIR_EXPORT_SLOT_RECORD,      // that record, whole and complete
    VEK_RIR_EXPORT_SLOT_INCOMPLETE,  // that record, USED without COMPLETE
    VEK_RIR_EXPORT_SLOT_PENDING,     // not yet stamped by its writer (an older record is there)
    VEK_RIR_EXPORT_SLOT_OVERWRITTEN, // a later record is there: this one is lost
};

struct vek_rir_export_log_t {
    vek_rir_util_fd_t fd;
    const char *path = nullptr;
    vek_rir_header_t header; // as read and checked when the file was opened
    uint64_t record_count = 0;
    bool merged = false;
    bool nofollow = false; // opened and looked up without following links
    bool live = false; // the node's live log (by device and inode), which writers append to
    // Positioned reads; tests put in one that changes the slot between two reads.
    ssize_t (*pread)(int fd, void *buffer, size_t count, off_t offset) = ::pread;
};

// Opens and checks a log file (size, header, a ring that fits the file); 0, or 1 and a text.
int vek_rir_export_log_open(vek_rir_failure_info_t *failure_info, vek_rir_export_log_t *log,
                            const char *path, bool live);
// What the header says now of where the log stands: the next sequence number and the
// generation (raised by every clear and inhale).
struct vek_rir_export_log_state_t {
    uint64_t next_seqno = 0;
    uint64_t generation = 0;
};
// Reads both in one read; 0, or 1 and a text.
int vek_rir_export_log_state(vek_rir_failure_info_t *failure_info,
                             const vek_rir_export_log_t *log, vek_rir_export_log_state_t *state);
// Whether a writer of this boot may hold the shared mutex now (the mutex shows an owner and
// was made in this boot); 0, or 1 and a text.
int vek_rir_export_log_writer_may_hold(vek_rir_failure_info_t *failure_info,
                                       const vek_rir_export_log_t *log, bool *may_hold);
// Whether the file at the log's path is still the one open (false when it was replaced or
// removed).
bool vek_rir_export_log_same_file(const vek_rir_export_log_t *log);
// Reads the record with sequence number `seqno` from a node's log that writers may be
// appending to, without the shared mutex; 0, or 1 and a text (the file could not be read).
int vek_rir_export_log_slot_read(vek_rir_failure_info_t *failure_info,
                                 const vek_rir_export_log_t *log, uint64_t seqno,
                                 vek_rir_record_t *record, vek_rir_export_slot_t *state);
// The sequence number and time that slot `seqno % record_count` holds now; 0, or 1 and a text.
int vek_rir_export_log_slot_peek(vek_rir_failure_info_t *failure_info,
                                 const vek_rir_export_log_t *log, uint64_t seqno,
                                 uint64_t *slot_seqno, uint64_t *secs, uint64_t *usecs);
// Walks a merged log (or any log file as it lies) oldest first with the core's ring cursor,
// calling `visit` for each record; stops at a negative result. 0, or 1 and a text.
int vek_rir_export_log_walk(vek_rir_failure_info_t *failure_info, const vek_rir_export_log_t *log,
                            int (*visit)(void *cookie, const vek_rir_record_t *record),
                            void *cookie);
// The first sequence number still in a node's log whose next one is next_seqno.
uint64_t vek_rir_export_log_oldest(const vek_rir_export_log_t *log, uint64_t next_seqno);

// ---- the cursor file (vek_rir_export_cursor.cpp) -----------------------------------------

// The position after the last record written out, and what identifies that record, so that a
// resumed export can tell whether the log is still the one it read.
struct vek_rir_export_cursor_t {
    uint64_t next_seqno = 0;   // the first record not yet read
    bool last_known = false;   // the fields below describe the last record read
    uint64_t last_seqno = 0;   // below next_seqno (not always next_seqno - 1: a slot left
                               // unfinished by its writer may lie between)
    uint64_t last_secs = 0;
    uint64_t last_usecs = 0;
    uint64_t header_flags = 0; // the node flags of the log's header
    uint64_t generation = 0;   // the log's generation (0 in a cursor of the first version)
};

enum vek_rir_export_cursor_load_t {
    VEK_RIR_EXPORT_CURSOR_LOADED,
    VEK_RIR_EXPORT_CURSOR_MISSING, // no file yet: a first run
    VEK_RIR_EXPORT_CURSOR_BAD,     // a file that is no cursor (text says why)
    VEK_RIR_EXPORT_CURSOR_FAILED,  // the file could not be read (a link, a directory, ...)
};

vek_rir_export_cursor_load_t vek_rir_export_cursor_load(vek_rir_failure_info_t *failure_info,
                                                        const char *path,
                                                        vek_rir_export_cursor_t *cursor);
// Writes a temporary companion (path + ".tmp", created exclusively after a leftover is
// removed, no link followed), syncs it and renames it over path; 0, or 1 and a text.
int vek_rir_export_cursor_save(vek_rir_failure_info_t *failure_info, const char *path,
                               const vek_rir_export_cursor_t *cursor);

// ---- output lines (vek_rir_export_output.cpp) --------------------------------------------

struct vek_rir_export_out_t {
    FILE *stream = stdout; // the text line is the dump's, which prints on standard output
    vek_rir_export_format_t format = VEK_RIR_EXPORT_FORMAT_TEXT;
    bool closed = false;      // the reader went away (EPIPE): stop quietly
    bool interrupted = false; // a stop signal ended a blocked write: the line did not go out
    int error = 0;            // another write failure: its errno
    // What every JSON record carries besides its own fields: the node's host name (escaped,
    // with its quotes) and the log's generation (-1 for a merged log, which has none).
    char host_json[2 * 256] = {};
    int64_t generation = -1;
};

// Sets out->host_json from gethostname.
void vek_rir_export_out_host_init(vek_rir_export_out_t *out);

// Why records were lost.
enum vek_rir_export_lost_t {
    VEK_RIR_EXPORT_LOST_OVERWRITTEN,          // the ring overwrote them before they were read
    VEK_RIR_EXPORT_LOST_OVERWRITTEN_OR_RESET, // that, or a clear the log could not count
    VEK_RIR_EXPORT_LOST_UNFINISHED,           // one slot its writer left unfinished
};

// Each returns 0 when the line went out, 1 when the output failed (closed, interrupted or
// error set).
int vek_rir_export_out_record(vek_rir_export_out_t *out, const vek_rir_record_t *record);
// `count` records were lost after the record `after_seqno` (none before them when
// !after_known); for an unfinished slot, `seqno` is its sequence number.
int vek_rir_export_out_lost(vek_rir_export_out_t *out, uint64_t count, bool after_known,
                            uint64_t after_seqno, vek_rir_export_lost_t cause, uint64_t seqno);
// Sequence numbers start again (the log was cleared or inhaled, or a cursor did not fit).
int vek_rir_export_out_reset(vek_rir_export_out_t *out, bool after_known, uint64_t after_seqno);
int vek_rir_export_out_flush(vek_rir_export_out_t *out);

// The JSON object of one record, with its newline, as `out` would print it; the line's length.
size_t vek_rir_export_json_record(const vek_rir_export_out_t *out,
                                  const vek_rir_record_real_t &real, char *line,
                                  size_t line_size);
// A field's bytes up to its terminator (at most field_size) as a JSON string with its quotes.
// Valid UTF-8 is kept as it is; a field with other bytes has them as \xNN and a backslash as
// \\ (in the decoded text) and *escaped is set, so the original bytes can be recovered.
size_t vek_rir_export_json_string(const char *field, size_t field_size, char *out,
                                  size_t out_size, bool *escaped);
// RFC 3339 in UTC with microseconds: 2026-12-08T10:32:22.000123Z.
size_t vek_rir_export_time_rfc3339(uint64_t secs, uint64_t usecs, char *out, size_t out_size);

// ---- following a node's log (vek_rir_export_follow.cpp) ----------------------------------

// Slots given up as unfinished that are still looked at, in case their writer completes them.
inline constexpr int VEK_RIR_EXPORT_UNFINISHED_MAX = 16;

// A reader of a node's log by sequence number: its position, what identifies the last record
// read, and the slots it waits for. main() runs batches in a loop; tests run them directly.
struct vek_rir_export_follow_t {
    const vek_rir_export_options_t *options = nullptr;
    vek_rir_export_log_t log;
    vek_rir_export_out_t out;
    uint64_t generation = 0; // of the log the position belongs to
    uint64_t next = 0;       // the first record not yet read
    bool last_known = false; // the last record read (printed or filtered out)
    uint64_t last_seqno = 0, last_secs = 0, last_usecs = 0;
    bool moved = false;   // the position changed since the cursor was saved
    bool waiting = false; // the batch stopped at a slot whose writer is still at work
    bool pending = false; // the slot at `next` is waited for since pending_since
    uint64_t pending_since = 0;
    uint64_t unfinished[VEK_RIR_EXPORT_UNFINISHED_MAX] = {};
    int unfinished_count = 0;
    bool save_failing = false;
    vek_rir_failure_info_t failure = {};
    // How long a slot claimed but not complete is waited for: as long as its writer may hold
    // the shared mutex.
    uint64_t slot_wait_msecs = static_cast<uint64_t>(vek_rir_lock_wait_secs) * 1000;
    uint64_t (*clock_msecs)() = vek_rir_util_monotime_msecs;
    const std::atomic<int> *stop = nullptr; // a batch ends early once it is non-zero
};

// Where reading starts: after the cursor (options->cursor_path) when it fits the log, else the
// oldest record, with a reset line when a cursor did not fit. 0; 1 when the log or the cursor
// file could not be read (x->failure says why); 2 when the output failed.
int vek_rir_export_follow_start(vek_rir_export_follow_t *x);
// One pass over what the log holds beyond the position: 0, or 1 when reading or writing
// failed (x->failure or x->out says which).
int vek_rir_export_follow_batch(vek_rir_export_follow_t *x);
// Following by name: when the file at the path was replaced by another log, reads what is
// left of the open one, then goes on with the new one (a reset line unless it continues the
// same log, as a renewed snapshot does). 0, or 1 when reading or writing failed.
int vek_rir_export_follow_reopen(vek_rir_export_follow_t *x);
// Saves the position when it moved since the last save (one warning per failing stretch).
void vek_rir_export_follow_cursor_save(vek_rir_export_follow_t *x);
// One line on standard error, after the program's name.
void vek_rir_export_warn(const char *format, ...) __attribute__((format(printf, 1, 2)));
