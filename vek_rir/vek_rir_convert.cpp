// Text conversions between a record's numeric fields and their text forms: class and code
// from the command line, flags, class, code and time for the dump report. Pure functions of
// their arguments; results live in the caller's buffer or are constant texts.

#include "vek_rir/vek_rir_int.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

struct class_name_t {
    const char *name;
    uint64_t value;
};

constexpr class_name_t class_names[] = {
    {"START", VEK_RIR_CLASS_START},   {"STOP", VEK_RIR_CLASS_STOP},
    {"EXIT", VEK_RIR_CLASS_EXIT},     {"FAIL", VEK_RIR_CLASS_FAIL},
    {"STEP", VEK_RIR_CLASS_STEP},     {"CHANGE", VEK_RIR_CLASS_CHANGE},
    {"EVENT", VEK_RIR_CLASS_EVENT},   {"ACTION", VEK_RIR_CLASS_ACTION},
};


const char *number_to_text(uint64_t value, char *tmp_buffer, size_t tmp_buffer_size)
{
    memset(tmp_buffer, 0, tmp_buffer_size);
    snprintf(tmp_buffer, tmp_buffer_size - 1, "%016lx", static_cast<unsigned long>(value));
    return tmp_buffer;
}

} // namespace

uint64_t vek_rir_convert_text_to_class(const char *text)
{
    for (const class_name_t &entry : class_names)
        if (strcmp(text, entry.name) == 0)
            return entry.value;
    return strtoull(text, nullptr, 0);
}

uint64_t vek_rir_convert_text_to_code(const char *text)
{
    if (strcmp(text, "NA") == 0)
        return VEK_RIR_CODE_NA;
    return strtoull(text, nullptr, 0);
}

char *vek_rir_convert_flags_to_text(uint64_t rir_flags, char *tmp_buffer, size_t tmp_buffer_size)
{
    uint64_t user_part = (rir_flags & VEK_RIR_FLAGS_USER_PART_MASK) >> VEK_RIR_FLAGS_USER_PART_SHIFT;
    uint64_t system_part = rir_flags & 0xffffffff;
    char letters[5] = {
        (system_part & VEK_RIR_RECORD_FLAG_NODE_A) ? 'A' : '.',
        (system_part & VEK_RIR_RECORD_FLAG_NODE_B) ? 'B' : '.',
        (system_part & VEK_RIR_RECORD_FLAG_USED) ? 'U' : '.',
        (system_part & VEK_RIR_RECORD_FLAG_COMPLETE) ? 'C' : '.',
        0,
    };
    snprintf(tmp_buffer, tmp_buffer_size - 1, "%08lx:%-4s", static_cast<unsigned long>(user_part),
             letters);
    return tmp_buffer;
}

const char *vek_rir_convert_class_to_text(uint64_t rir_class, char *tmp_buffer,
                                          size_t tmp_buffer_size)
{
    for (const class_name_t &entry : class_names)
        if (rir_class == entry.value)
            return entry.name;
    return number_to_text(rir_class, tmp_buffer, tmp_buffer_size);
}

const char *vek_rir_convert_code_to_text(uint64_t rir_code, char *tmp_buffer,
                                         size_t tmp_buffer_size)
{
    if (rir_code == VEK_RIR_CODE_NA)
        return "NA";
    return number_to_text(rir_code, tmp_buffer, tmp_buffer_size);
}

// A time the calendar cannot break down (far beyond any real record) shows its raw seconds
// instead of a date, so the column still says what the file holds.
char *vek_rir_convert_time_to_text(const struct timespec *ts, char *tmp_buffer,
                                   size_t tmp_buffer_size)
{
    char work[64];
    memset(work, 0, sizeof(work));
    struct tm fields;
    if (gmtime_r(&ts->tv_sec, &fields) != nullptr)
        strftime(work, sizeof(work) - 1, "%m/%d/%Y %T", &fields);
    else
        snprintf(work, sizeof(work) - 1, "@%lld", static_cast<long long>(ts->tv_sec));
    snprintf(tmp_buffer, tmp_buffer_size - 1, "%s.%06ld", work, ts->tv_nsec / 1000);
    return tmp_buffer;
}
