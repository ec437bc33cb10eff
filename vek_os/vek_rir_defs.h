/*
 * vek_rir_defs.h - the flag, class and code vocabulary of the event log, shared with every
 * process of the appliance that logs. Plain C99 so that C and C++ callers include it alike.
 */
#ifndef VEK_RIR_DEFS_H
#define VEK_RIR_DEFS_H

#include <stdint.h>

/* Flags passed to vek_rir_if_record_add: the low 32 bits are the system's, the upper 32 bits
 * belong to the caller and are stored untouched. */
#define VEK_RIR_FLAGS_USER_PART_MASK UINT64_C(0xffffffff00000000)
#define VEK_RIR_FLAGS_USER_PART_SHIFT 32
#define VEK_RIR_FLAGS_NONE UINT64_C(0)
#define VEK_RIR_FLAG_NODE_A UINT64_C(1)
#define VEK_RIR_FLAG_NODE_B UINT64_C(2)
/* Also copy the record to the kernel log. This is the same bit as the stored record's USED flag,
 * so a stored record does not show whether the copy was asked for. */
#define VEK_RIR_FLAG_TOKERNEL UINT64_C(4)

/* Classes: eight predefined values, or anything else the caller chooses. */
#define VEK_RIR_CLASS_USER_PART_MASK UINT64_C(0x0000ffffffffffff)
#define VEK_RIR_CLASS_START UINT64_C(0xf01fffffffffffff)
#define VEK_RIR_CLASS_STOP UINT64_C(0xf02fffffffffffff)
#define VEK_RIR_CLASS_EXIT UINT64_C(0xf03fffffffffffff)
#define VEK_RIR_CLASS_FAIL UINT64_C(0xf04fffffffffffff)
#define VEK_RIR_CLASS_STEP UINT64_C(0xf05fffffffffffff)
#define VEK_RIR_CLASS_CHANGE UINT64_C(0xf06fffffffffffff)
#define VEK_RIR_CLASS_EVENT UINT64_C(0xf07fffffffffffff)
#define VEK_RIR_CLASS_ACTION UINT64_C(0xf08fffffffffffff)

/* "No code". */
#define VEK_RIR_CODE_NA UINT64_C(0xffffffffffffffff)

/* Longest identity stored whole; longest text a caller should pass (the record keeps up to 175
 * characters, the margin is for future use). */
#define VEK_RIR_MAX_LENGTH_IDENTITY 31
#define VEK_RIR_MAX_LENGTH_TEXT 167

#endif /* VEK_RIR_DEFS_H */
