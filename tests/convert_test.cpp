// Text conversions of class, code, flags and time, as the command line reads them and the dump
// prints them.

#include "vek_rir/vek_rir_int.h"

#include <gtest/gtest.h>

#include <string>

TEST(Convert, TextToClassAndCode)
{
    struct case_t {
        const char *text;
        uint64_t as_class, as_code;
    } cases[] = {
        {"START", VEK_RIR_CLASS_START, 0},
        {"STOP", VEK_RIR_CLASS_STOP, 0},
        {"EXIT", VEK_RIR_CLASS_EXIT, 0},
        {"FAIL", VEK_RIR_CLASS_FAIL, 0},
        {"STEP", VEK_RIR_CLASS_STEP, 0},
        {"CHANGE", VEK_RIR_CLASS_CHANGE, 0},
        {"EVENT", VEK_RIR_CLASS_EVENT, 0},
        {"ACTION", VEK_RIR_CLASS_ACTION, 0},
        {"event", 0, 0},
        {"Event", 0, 0},
        {" EVENT", 0, 0},
        {"EVENTS", 0, 0},
        {"NA", 0, VEK_RIR_CODE_NA},
        {"na", 0, 0},
        {"0x10", 16, 16},
        {"0X10", 16, 16},
        {"010", 8, 8},
        {"10", 10, 10},
        {"12abc", 12, 12},
        {"", 0, 0},
        {"0000000000000010", 8, 8},
        {"18446744073709551615", UINT64_MAX, UINT64_MAX},
    };
    for (const case_t &c : cases) {
        EXPECT_EQ(vek_rir_convert_text_to_class(c.text), c.as_class) << '"' << c.text << '"';
        EXPECT_EQ(vek_rir_convert_text_to_code(c.text), c.as_code) << '"' << c.text << '"';
    }
}

TEST(Convert, ClassAndCodeToText)
{
    char buffer[64];
    struct case_t {
        uint64_t value;
        const char *as_class, *as_code;
    } cases[] = {
        {VEK_RIR_CLASS_START, "START", nullptr},
        {VEK_RIR_CLASS_ACTION, "ACTION", nullptr},
        {VEK_RIR_CLASS_EVENT, "EVENT", nullptr},
        {VEK_RIR_CLASS_EVENT - 1, "f07ffffffffffffe", "f07ffffffffffffe"},
        {0, "0000000000000000", "0000000000000000"},
        {16, "0000000000000010", "0000000000000010"},
        {42, "000000000000002a", "000000000000002a"},
        {VEK_RIR_CODE_NA, "ffffffffffffffff", "NA"},
        {VEK_RIR_CODE_NA - 1, "fffffffffffffffe", "fffffffffffffffe"},
    };
    for (const case_t &c : cases) {
        memset(buffer, 'q', sizeof(buffer));
        const char *text = vek_rir_convert_class_to_text(c.value, buffer, sizeof(buffer));
        EXPECT_STREQ(text, c.as_class);
        if (strlen(c.as_class) == 16) {
            EXPECT_EQ(text, buffer) << "a number is formatted into the caller's buffer";
        }
        if (c.as_code != nullptr) {
            EXPECT_STREQ(vek_rir_convert_code_to_text(c.value, buffer, sizeof(buffer)), c.as_code);
        }
    }
    // A named class leaves the buffer as it was.
    memset(buffer, 'q', sizeof(buffer));
    vek_rir_convert_class_to_text(VEK_RIR_CLASS_STOP, buffer, sizeof(buffer));
    EXPECT_EQ(buffer[0], 'q');
}

TEST(Convert, FlagsToText)
{
    struct case_t {
        uint64_t flags;
        const char *text;
    } cases[] = {
        {0, "00000000:...."},
        {0xd, "00000000:A.UC"},
        {0xf, "00000000:ABUC"},
        {0x10, "00000000:...."},
        {(UINT64_C(5) << 32) | 2, "00000005:.B.."},
        {UINT64_C(0xffffffff) << 32, "ffffffff:...."},
        {UINT64_MAX, "ffffffff:ABUC"},
    };
    char buffer[64];
    for (const case_t &c : cases) {
        EXPECT_STREQ(vek_rir_convert_flags_to_text(c.flags, buffer, sizeof(buffer)), c.text);
        EXPECT_EQ(strlen(buffer), 13u);
    }
}

TEST(Convert, TimeToTextInUtcWithTruncatedMicroseconds)
{
    // The zone must play no part.
    setenv("TZ", "America/New_York", 1);
    tzset();
    struct case_t {
        time_t secs;
        long nsecs;
        const char *text;
    } cases[] = {
        {0, 0, "01/01/1970 00:00:00.000000"},
        {86400, 5000, "01/02/1970 00:00:00.000005"},
        {0, 999999999, "01/01/1970 00:00:00.999999"},
        {1796671852, 954812000, "12/07/2026 19:30:52.954812"},
        {951782400, 1000, "02/29/2000 00:00:00.000001"},
    };
    char buffer[64];
    for (const case_t &c : cases) {
        struct timespec ts = {c.secs, c.nsecs};
        EXPECT_STREQ(vek_rir_convert_time_to_text(&ts, buffer, sizeof(buffer)), c.text);
    }
    // Seconds the calendar cannot break down still give a bounded, telling text.
    struct timespec far = {INT64_MAX, 0};
    std::string text = vek_rir_convert_time_to_text(&far, buffer, sizeof(buffer));
    EXPECT_EQ(text, "@9223372036854775807.000000");
    unsetenv("TZ");
    tzset();
}

TEST(Convert, SmallBuffersAreCutNotOverrun)
{
    char buffer[8 + 1];
    buffer[8] = '#';
    vek_rir_convert_flags_to_text(0xf, buffer, 8);
    EXPECT_STREQ(buffer, "000000");  // limit 7 with the terminator
    EXPECT_EQ(buffer[8], '#');
}
