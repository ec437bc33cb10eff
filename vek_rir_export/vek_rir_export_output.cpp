// The export's output lines: one record as rir_dump prints it (the dump's own line formatter,
// so the two never differ) or as one JSON object a line, and the lines that report lost
// records and resets. Every write is checked: a reader that went away (EPIPE) marks the output
// closed, any other failure keeps its errno, and the caller stops either way.

#include "vek_rir_export/vek_rir_export.h"

#include <errno.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio_ext.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Appends within a fixed buffer; a text that does not fit is cut and `full` set (the buffer is
// sized so that no record fills it).
struct line_t {
    char *data;
    size_t size;
    size_t length = 0;
    bool full = false;

    void put(char c)
    {
        if (length + 1 < size)
            data[length++] = c;
        else
            full = true;
        data[length] = 0;
    }
    void put(const char *text)
    {
        while (*text)
            put(*text++);
    }
    void printf(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        int n = vsnprintf(data + length, size - length, format, args);
        va_end(args);
        if (n < 0 || static_cast<size_t>(n) >= size - length) {
            full = true;
            length = size - 1;
        } else {
            length += static_cast<size_t>(n);
        }
    }
};

// The length of the valid UTF-8 sequence at p (at most `left` bytes), 0 when there is none:
// no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8_sequence(const unsigned char *p, size_t left)
{
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t n;
    unsigned char low = 0x80, high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0)
            low = 0xa0;
        if (c == 0xed)
            high = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0)
            low = 0x90;
        if (c == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (n > left)
        return 0;
    if (p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < n; i++)
        if (p[i] < 0x80 || p[i] > 0xbf)
            return 0;
    return n;
}

size_t field_length(const char *field, size_t field_size)
{
    const void *end = memchr(field, 0, field_size);
    return end ? static_cast<size_t>(static_cast<const char *>(end) - field) : field_size;
}

bool utf8_valid(const unsigned char *p, size_t length)
{
    for (size_t i = 0; i < length;) {
        size_t n = utf8_sequence(p + i, length - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

void json_char(line_t &line, unsigned char c)
{
    switch (c) {
    case '"': line.put("\\\""); return;
    case '\\': line.put("\\\\"); return;
    case '\b': line.put("\\b"); return;
    case '\f': line.put("\\f"); return;
    case '\n': line.put("\\n"); return;
    case '\r': line.put("\\r"); return;
    case '\t': line.put("\\t"); return;
    default: break;
    }
    if (c < 0x20 || c == 0x7f) {
        line.put("\\u00");
        line.put(hex_digits[c >> 4]);
        line.put(hex_digits[c & 0xf]);
        return;
    }
    line.put(static_cast<char>(c));
}

void json_string(line_t &line, const char *field, size_t field_size, bool *escaped)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(field);
    size_t length = field_length(field, field_size);
    *escaped = !utf8_valid(p, length);
    line.put('"');
    for (size_t i = 0; i < length;) {
        size_t n = utf8_sequence(p + i, length - i);
        if (n == 0) {
            // Decoded, the text reads \xNN for the byte: JSON's "\\xNN".
            line.put("\\\\x");
            line.put(hex_digits[p[i] >> 4]);
            line.put(hex_digits[p[i] & 0xf]);
            i++;
        } else if (n == 1) {
            // In an escaped field a backslash is doubled, so \xNN is never ambiguous.
            if (*escaped && p[i] == '\\')
                line.put("\\\\");
            json_char(line, p[i]);
            i++;
        } else {
            for (size_t k = 0; k < n; k++)
                line.put(static_cast<char>(p[i + k]));
            i += n;
        }
    }
    line.put('"');
}

void time_rfc3339(line_t &line, uint64_t secs, uint64_t usecs)
{
    struct tm fields;
    time_t t = static_cast<time_t>(secs);
    char date[64];
    // A time the calendar cannot break down (a damaged record) shows its raw seconds.
    if (secs > static_cast<uint64_t>(INT64_MAX) || gmtime_r(&t, &fields) == nullptr ||
        strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &fields) == 0) {
        line.printf("@%" PRIu64 ".%06" PRIu64, secs, usecs);
        return;
    }
    line.printf("%s.%06" PRIu64 "Z", date, usecs);
}

// Checks a write that just happened on the stream. A write that a stop signal interrupted
// (only SIGINT and SIGTERM are caught, without SA_RESTART) wrote nothing of the line when the
// output is a pipe, where a line is far below PIPE_BUF: the line is dropped from the stream's
// buffer, so that nothing writes it later, and counts as not written.
int out_check(vek_rir_export_out_t *out)
{
    if (!ferror(out->stream))
        return 0;
    if (errno == EINTR) {
        out->interrupted = true;
        __fpurge(out->stream);
        clearerr(out->stream);
    } else if (errno == EPIPE) {
        out->closed = true;
    } else {
        out->error = errno != 0 ? errno : EIO;
    }
    return 1;
}

bool out_ended(const vek_rir_export_out_t *out)
{
    return out->closed || out->interrupted || out->error;
}

int out_line(vek_rir_export_out_t *out, const char *line, size_t length)
{
    if (out_ended(out))
        return 1;
    errno = 0;
    fwrite(line, 1, length, out->stream);
    return out_check(out);
}

} // namespace

size_t vek_rir_export_json_string(const char *field, size_t field_size, char *out,
                                  size_t out_size, bool *escaped)
{
    line_t line{out, out_size};
    json_string(line, field, field_size, escaped);
    return line.length;
}

size_t vek_rir_export_time_rfc3339(uint64_t secs, uint64_t usecs, char *out, size_t out_size)
{
    line_t line{out, out_size};
    time_rfc3339(line, secs, usecs);
    return line.length;
}

void vek_rir_export_out_host_init(vek_rir_export_out_t *out)
{
    char host[256] = {};
    if (gethostname(host, sizeof(host) - 1) != 0)
        host[0] = 0;
    bool escaped = false;
    line_t line{out->host_json, sizeof(out->host_json)};
    json_string(line, host, sizeof(host), &escaped);
}

size_t vek_rir_export_json_record(const vek_rir_export_out_t *out,
                                  const vek_rir_record_real_t &real, char *buffer,
                                  size_t buffer_size)
{
    line_t line{buffer, buffer_size};
    line.printf("{\"seqno\":%" PRIu64 ",\"time\":\"", real.seqno);
    time_rfc3339(line, real.time_secs, real.time_usecs);
    bool node_a = real.flags & VEK_RIR_RECORD_FLAG_NODE_A;
    bool node_b = real.flags & VEK_RIR_RECORD_FLAG_NODE_B;
    line.put("\",\"node\":\"");
    line.put(node_a && !node_b ? "A" : node_b && !node_a ? "B" : "");
    line.put("\",\"class\":");
    // The dump's class text: a name, or sixteen hexadecimal digits when the class has none,
    // which here becomes the number itself.
    char class_buffer[64];
    const char *class_text =
        vek_rir_convert_class_to_text(real.rir_class, class_buffer, sizeof(class_buffer));
    if (class_text == class_buffer)
        line.printf("%" PRIu64, real.rir_class);
    else
        line.printf("\"%s\"", class_text);
    if (real.code == VEK_RIR_CODE_NA)
        line.put(",\"code\":null");
    else
        line.printf(",\"code\":%" PRIu64, real.code);
    bool identity_escaped = false, text_escaped = false;
    line.put(",\"identity\":");
    json_string(line, real.identity, sizeof(real.identity), &identity_escaped);
    line.put(",\"text\":");
    json_string(line, real.text, sizeof(real.text), &text_escaped);
    char flags_buffer[64];
    line.printf(",\"flags\":\"%s\"",
                vek_rir_convert_flags_to_text(real.flags, flags_buffer, sizeof(flags_buffer)));
    constexpr uint64_t used_complete = VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE;
    line.put((real.flags & used_complete) == used_complete ? ",\"complete\":true"
                                                           : ",\"complete\":false");
    // Host, node, generation, sequence number and time together name one record of one
    // node's log for ever: a clear or an inhale starts the sequence numbers again in a new
    // generation, and after a power cut they may repeat those of records that were lost.
    line.put(",\"host\":");
    line.put(out->host_json[0] ? out->host_json : "\"\"");
    if (out->generation < 0)
        line.put(",\"generation\":null");
    else
        line.printf(",\"generation\":%" PRId64, out->generation);
    if (identity_escaped)
        line.put(",\"identity_escaped\":true");
    if (text_escaped)
        line.put(",\"text_escaped\":true");
    line.put("}\n");
    return line.length;
}

int vek_rir_export_out_record(vek_rir_export_out_t *out, const vek_rir_record_t *record)
{
    if (out_ended(out))
        return 1;
    if (out->format == VEK_RIR_EXPORT_FORMAT_TEXT) {
        errno = 0;
        vek_rir_report_dump_line(record);
        return out_check(out);
    }
    char line[VEK_RIR_EXPORT_LINE_SIZE];
    size_t length =
        vek_rir_export_json_record(out, vek_rir_helper_real(record), line, sizeof(line));
    return out_line(out, line, length);
}

int vek_rir_export_out_lost(vek_rir_export_out_t *out, uint64_t count, bool after_known,
                            uint64_t after_seqno, vek_rir_export_lost_t cause, uint64_t seqno)
{
    char buffer[200];
    line_t line{buffer, sizeof(buffer)};
    if (out->format == VEK_RIR_EXPORT_FORMAT_JSON) {
        line.printf("{\"lost\":%" PRIu64 ",\"after_seqno\":", count);
        if (after_known)
            line.printf("%" PRIu64, after_seqno);
        else
            line.put("null");
        switch (cause) {
        case VEK_RIR_EXPORT_LOST_OVERWRITTEN:
            line.put(",\"cause\":\"overwritten\"}\n");
            break;
        case VEK_RIR_EXPORT_LOST_OVERWRITTEN_OR_RESET:
            line.put(",\"cause\":\"overwritten_or_reset\"}\n");
            break;
        case VEK_RIR_EXPORT_LOST_UNFINISHED:
            line.printf(",\"cause\":\"unfinished\",\"seqno\":%" PRIu64 "}\n", seqno);
            break;
        }
        return out_line(out, buffer, line.length);
    }
    if (after_known)
        line.printf("# lost %" PRIu64 " records after seqno %010" PRIu64, count, after_seqno);
    else
        line.printf("# lost %" PRIu64 " records before the first", count);
    switch (cause) {
    case VEK_RIR_EXPORT_LOST_OVERWRITTEN:
        line.put("\n");
        break;
    case VEK_RIR_EXPORT_LOST_OVERWRITTEN_OR_RESET:
        line.put(" (overwritten, or the log was cleared or inhaled)\n");
        break;
    case VEK_RIR_EXPORT_LOST_UNFINISHED:
        line.printf(": seqno %010" PRIu64 " left unfinished by its writer\n", seqno);
        break;
    }
    return out_line(out, buffer, line.length);
}

int vek_rir_export_out_reset(vek_rir_export_out_t *out, bool after_known, uint64_t after_seqno)
{
    char buffer[160];
    line_t line{buffer, sizeof(buffer)};
    if (out->format == VEK_RIR_EXPORT_FORMAT_JSON) {
        line.put("{\"reset\":true,\"after_seqno\":");
        if (after_known)
            line.printf("%" PRIu64 "}\n", after_seqno);
        else
            line.put("null}\n");
    } else if (after_known) {
        line.printf("# reset: sequence numbers start again after seqno %010" PRIu64 "\n",
                    after_seqno);
    } else {
        line.put("# reset: sequence numbers start again\n");
    }
    return out_line(out, buffer, line.length);
}

int vek_rir_export_out_flush(vek_rir_export_out_t *out)
{
    if (out_ended(out))
        return 1;
    errno = 0;
    if (fflush(out->stream) == 0)
        return 0;
    return out_check(out);
}
