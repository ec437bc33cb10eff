/*
 * vek_rir_format.h - the on-disk format of the live log, snapshots and merged logs (walked
 * byte by byte in docs/format.md), and the ring cursor. Every offset and size is pinned by a
 * static_assert: the files cross nodes and outlive builds. C++ only; internal.
 */
#ifndef VEK_RIR_FORMAT_H
#define VEK_RIR_FORMAT_H

#include <vek_os/vek_rir_if.h>

#include <pthread.h>

#include <cstddef>
#include <cstdint>

/* ---- the file format ------------------------------------------------------------------------
 * A log file is a 4096-byte header followed by a ring of 256-byte records. Slot i starts at
 * 4096 + i * 256; the record with sequence number s of the live log is in slot s mod 12272.
 * Integers are 64-bit little-endian (the nodes' native order; files go only between like nodes). */

inline constexpr uint64_t VEK_RIR_FILE_SIZE = 3 * 1024 * 1024;
inline constexpr uint64_t VEK_RIR_HEADER_SIZE = 4096;
inline constexpr uint64_t VEK_RIR_HEADER_INFO_SIZE = 256;
inline constexpr uint64_t VEK_RIR_HEADER_LOCK_SIZE = 256;
inline constexpr uint64_t VEK_RIR_RECORD_SIZE = 256;
inline constexpr uint64_t VEK_RIR_RECORD_COUNT =
    (VEK_RIR_FILE_SIZE - VEK_RIR_HEADER_SIZE) / VEK_RIR_RECORD_SIZE;
inline constexpr uint64_t VEK_RIR_MERGED_RECORD_COUNT = 2 * VEK_RIR_RECORD_COUNT;
inline constexpr uint64_t VEK_RIR_MERGED_FILE_SIZE =
    VEK_RIR_HEADER_SIZE + VEK_RIR_MERGED_RECORD_COUNT * VEK_RIR_RECORD_SIZE;
inline constexpr uint64_t VEK_RIR_VERSION_1 = 1;
inline constexpr uint64_t VEK_RIR_MAGIC = 0xdeadbeeaf00d1234;

inline constexpr uint64_t VEK_RIR_HEADER_FLAGS_NONE = 0;
inline constexpr uint64_t VEK_RIR_HEADER_FLAG_NODE_A = 1;
inline constexpr uint64_t VEK_RIR_HEADER_FLAG_NODE_B = 2;
inline constexpr uint64_t VEK_RIR_HEADER_FLAG_MERGED = 4;

inline constexpr uint64_t VEK_RIR_RECORD_FLAGS_NONE = 0;
inline constexpr uint64_t VEK_RIR_RECORD_FLAG_NODE_A = VEK_RIR_FLAG_NODE_A;
inline constexpr uint64_t VEK_RIR_RECORD_FLAG_NODE_B = VEK_RIR_FLAG_NODE_B;
inline constexpr uint64_t VEK_RIR_RECORD_FLAG_USED = 4;
inline constexpr uint64_t VEK_RIR_RECORD_FLAG_COMPLETE = 8;
inline constexpr size_t VEK_RIR_RECORD_IDENTITY_SIZE = 32;
inline constexpr size_t VEK_RIR_RECORD_TEXT_SIZE = VEK_RIR_RECORD_SIZE - 10 * 8;

static_assert(VEK_RIR_RECORD_COUNT == 12272);
static_assert(VEK_RIR_MERGED_FILE_SIZE == 6287360);
static_assert(VEK_RIR_RECORD_TEXT_SIZE == 176);

struct vek_rir_header_info_real_t {
    uint64_t magic;
    uint64_t version;
    uint64_t flags;
    uint64_t record_size;
    uint64_t record_count;
    uint64_t next_seqno;
    uint64_t last_touch_secs;
    uint64_t last_touch_usecs;
    /* The log's generation: raised by every clear and inhale, under the mutex, before the log
     * is emptied; 1 in a log made new. A reader that finds it changed knows the ring was
     * emptied and refilled, however many records the refill wrote. 0 in a log that no build
     * keeping the count has made or cleared: such a log cannot tell a refill from appends. */
    uint64_t generation;
};

struct vek_rir_header_info_blob_t {
    uint8_t filler[VEK_RIR_HEADER_INFO_SIZE];
};

/* The mutex and its attribute are the platform's own objects, stored as they are; only their
 * offsets and the room they take belong to the format. */
struct vek_rir_header_lock_real_t {
    pthread_mutexattr_t mutex_attr; /* 4 bytes, then 4 of padding */
    pthread_mutex_t mutex_body;
    uint64_t mutex_init_boot_time;
};

struct vek_rir_header_lock_blob_t {
    uint8_t filler[VEK_RIR_HEADER_LOCK_SIZE];
};

struct vek_rir_header_real_t {
    union {
        vek_rir_header_info_blob_t info_blob;
        vek_rir_header_info_real_t info_real;
    } info_u;
    union {
        vek_rir_header_lock_blob_t lock_blob;
        vek_rir_header_lock_real_t lock_real;
    } lock_u;
};

struct vek_rir_header_blob_t {
    uint8_t filler[VEK_RIR_HEADER_SIZE];
};

struct vek_rir_header_t {
    union {
        vek_rir_header_blob_t header_blob;
        vek_rir_header_real_t header_real;
    } header_u;
};

/* `class` is a C++ keyword, so the record's class field is named rir_class, as in the
 * interface. */
struct vek_rir_record_real_t {
    uint64_t seqno;
    uint64_t flags;
    uint64_t time_secs;
    uint64_t time_usecs;
    uint64_t rir_class;
    uint64_t code;
    char identity[VEK_RIR_RECORD_IDENTITY_SIZE];
    char text[VEK_RIR_RECORD_TEXT_SIZE];
};

struct vek_rir_record_blob_t {
    uint8_t filler[VEK_RIR_RECORD_SIZE];
};

struct vek_rir_record_t {
    union {
        vek_rir_record_blob_t record_blob;
        vek_rir_record_real_t record_real;
    } record_u;
};

#define VEK_RIR_HEADER_OFFSET(field) \
    offsetof(vek_rir_header_t, header_u.header_real.info_u.info_real.field)
#define VEK_RIR_LOCK_OFFSET(field) \
    offsetof(vek_rir_header_t, header_u.header_real.lock_u.lock_real.field)
#define VEK_RIR_RECORD_OFFSET(field) offsetof(vek_rir_record_t, record_u.record_real.field)

static_assert(sizeof(vek_rir_header_t) == 4096);
static_assert(sizeof(vek_rir_header_info_real_t) <= VEK_RIR_HEADER_INFO_SIZE);
static_assert(sizeof(vek_rir_header_lock_real_t) <= VEK_RIR_HEADER_LOCK_SIZE);
static_assert(offsetof(vek_rir_header_t, header_u.header_real.info_u) == 0);
static_assert(offsetof(vek_rir_header_t, header_u.header_real.lock_u) == 256);
static_assert(VEK_RIR_HEADER_OFFSET(magic) == 0);
static_assert(VEK_RIR_HEADER_OFFSET(version) == 8);
static_assert(VEK_RIR_HEADER_OFFSET(flags) == 16);
static_assert(VEK_RIR_HEADER_OFFSET(record_size) == 24);
static_assert(VEK_RIR_HEADER_OFFSET(record_count) == 32);
static_assert(VEK_RIR_HEADER_OFFSET(next_seqno) == 40);
static_assert(VEK_RIR_HEADER_OFFSET(last_touch_secs) == 48);
static_assert(VEK_RIR_HEADER_OFFSET(last_touch_usecs) == 56);
static_assert(VEK_RIR_HEADER_OFFSET(generation) == 64);
static_assert(sizeof(pthread_mutexattr_t) == 4);
static_assert(sizeof(pthread_mutex_t) == 40);
static_assert(VEK_RIR_LOCK_OFFSET(mutex_attr) == 256);
static_assert(VEK_RIR_LOCK_OFFSET(mutex_body) == 264);
static_assert(VEK_RIR_LOCK_OFFSET(mutex_init_boot_time) == 304);
static_assert(sizeof(vek_rir_record_t) == 256);
static_assert(VEK_RIR_RECORD_OFFSET(seqno) == 0);
static_assert(VEK_RIR_RECORD_OFFSET(flags) == 8);
static_assert(VEK_RIR_RECORD_OFFSET(time_secs) == 16);
static_assert(VEK_RIR_RECORD_OFFSET(time_usecs) == 24);
static_assert(VEK_RIR_RECORD_OFFSET(rir_class) == 32);
static_assert(VEK_RIR_RECORD_OFFSET(code) == 40);
static_assert(VEK_RIR_RECORD_OFFSET(identity) == 48);
static_assert(VEK_RIR_RECORD_OFFSET(text) == 80);
static_assert(VEK_RIR_RECORD_OFFSET(text) + VEK_RIR_RECORD_TEXT_SIZE == 256);

/* Short names for the real views of a header and a record. */
inline vek_rir_header_info_real_t &vek_rir_helper_info(vek_rir_header_t *header)
{
    return header->header_u.header_real.info_u.info_real;
}
inline const vek_rir_header_info_real_t &vek_rir_helper_info(const vek_rir_header_t *header)
{
    return header->header_u.header_real.info_u.info_real;
}
inline vek_rir_header_lock_real_t &vek_rir_helper_lock(vek_rir_header_t *header)
{
    return header->header_u.header_real.lock_u.lock_real;
}
inline vek_rir_record_real_t &vek_rir_helper_real(vek_rir_record_t *record)
{
    return record->record_u.record_real;
}
inline const vek_rir_record_real_t &vek_rir_helper_real(const vek_rir_record_t *record)
{
    return record->record_u.record_real;
}

/* Slot `index` of a ring held whole in memory (the live mapping, a fetched buffer). */
inline vek_rir_record_t *vek_rir_helper_slot(vek_rir_header_t *header, uint64_t index)
{
    return reinterpret_cast<vek_rir_record_t *>(header + 1) + index;
}

/* The ring cursor with which every reader walks a ring oldest or newest first: set up by a
 * populate call, then stepped by vek_rir_helper_walk_info_next until it says no slot is left.
 * A walk takes at most record_count_max steps, whatever the file says. A walker that keeps a
 * record across steps (the merge) keeps that state of its own, not in the cursor. */
struct vek_rir_helper_walk_info_t {
    uint64_t record_count_max;
    uint64_t record_count_left;
    uint64_t record_index_next;
    int reverse; /* newest first */
};

#endif /* VEK_RIR_FORMAT_H */
