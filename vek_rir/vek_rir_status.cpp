// The status document: the server's health as JSON (written by the health group, read by
// rir_status), the same health as metrics in the text exposition format, and the verdict that
// rir_status gives on it with the monitoring-plugin exit codes. Pure text work on fixed
// buffers, apart from rir_status's one read of the status file. The file's fields are a
// contract with monitors and scripts: they are only ever added, never renamed or dropped, and a
// reader skips the fields it does not know.

#include "vek_rir/vek_rir_int.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

const char *const vek_rir_status_duty_names[vek_rir_status_duty_count] = {
    "flush", "snap", "fetch", "merge", "mirror",
};

namespace {

constexpr char text_status_missing_live[] =
    "no status file at %s although the live log exists: the server is not running";
constexpr char text_status_missing[] = "no status file at %s: no server has run on this node";
constexpr char text_status_unreadable[] = "unable to read %s: %s";
constexpr char text_status_too_big[] = "%s is larger than a status document";
constexpr char text_var_read_only[] = "/vek_var is read-only";
constexpr char text_json_bad[] = "%s is not a status document (%s at byte %zu)";

constexpr size_t status_file_max = 16384;

const char *state_name(vek_rir_status_state_t state)
{
    switch (state) {
    case vek_rir_status_state_t::ok: return "ok";
    case vek_rir_status_state_t::failed: return "failed";
    case vek_rir_status_state_t::idle: return "nothing_to_do";
    case vek_rir_status_state_t::never: break;
    }
    return "never";
}

vek_rir_status_state_t state_from_name(const char *name)
{
    if (strcmp(name, "ok") == 0)
        return vek_rir_status_state_t::ok;
    if (strcmp(name, "failed") == 0)
        return vek_rir_status_state_t::failed;
    if (strcmp(name, "nothing_to_do") == 0)
        return vek_rir_status_state_t::idle;
    return vek_rir_status_state_t::never;
}

// Appends to a fixed buffer; once something did not fit, the whole result is refused.
struct text_out_t {
    char *out;
    size_t size;
    size_t used = 0;
    bool overflow = false;
    void add(const char *format, ...) VEK_RIR_PRINTF_LIKE(2, 3)
    {
        if (overflow)
            return;
        va_list args;
        va_start(args, format);
        int n = vsnprintf(out + used, size - used, format, args);
        va_end(args);
        if (n < 0 || static_cast<size_t>(n) >= size - used) {
            overflow = true;
            return;
        }
        used += static_cast<size_t>(n);
    }
    // A JSON string: quotes, backslashes and control bytes escaped, so a reason that holds a
    // path of any bytes still leaves a document every reader takes.
    void add_string(const char *text)
    {
        add("\"");
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
            if (*p == '"' || *p == '\\')
                add("\\%c", *p);
            else if (*p < 0x20 || *p == 0x7f)
                add("\\u%04x", *p);
            else
                add("%c", *p);
        }
        add("\"");
    }
    size_t result() const { return overflow ? 0 : used; }
};

} // namespace

size_t vek_rir_status_json_format(const vek_rir_status_t *s, char *out, size_t out_size)
{
    text_out_t t{out, out_size};
    t.add("{\n  \"format\": %" PRIu64 ",\n  \"server_pid\": %" PRIu64 ",\n", s->format,
          s->server_pid);
    t.add("  \"server_running\": %s,\n", s->server_running ? "true" : "false");
    t.add("  \"server_start_time\": %" PRIu64 ",\n  \"written_time\": %" PRIu64 ",\n",
          s->server_start_time, s->written_time);
    t.add("  \"duties\": {\n");
    for (int i = 0; i < vek_rir_status_duty_count; i++) {
        const vek_rir_status_duty_t &d = s->duties[i];
        t.add("    \"%s\": {\"state\": \"%s\", \"last_attempt_time\": %" PRIu64
              ", \"last_success_time\": %" PRIu64 ", \"last_failure_time\": %" PRIu64
              ", \"consecutive_failures\": %" PRIu64 ", \"runs_total\": %" PRIu64
              ", \"failures_total\": %" PRIu64 ", \"last_failure_reason\": ",
              vek_rir_status_duty_names[i], state_name(d.state), d.last_attempt, d.last_success,
              d.last_failure, d.consecutive_failures, d.runs_total, d.failures_total);
        t.add_string(d.last_failure_reason);
        t.add(", \"nothing_to_do_reason\": ");
        t.add_string(d.nothing_to_do_reason);
        t.add("}%s\n", i + 1 < vek_rir_status_duty_count ? "," : "");
    }
    t.add("  },\n");
    t.add("  \"peer_newest_record_time\": %" PRIu64 ",\n  \"merged_newest_record_time\": %" PRIu64
          ",\n",
          s->peer_newest_record_time, s->merged_newest_record_time);
    t.add("  \"records_appended_total\": %" PRIu64 ",\n  \"records_overwritten_total\": %" PRIu64
          ",\n",
          s->records_appended_total, s->records_overwritten_total);
    t.add("  \"var_free_bytes\": %" PRIu64 ",\n  \"var_free_floor_bytes\": %" PRIu64 ",\n",
          s->var_free_bytes, s->var_free_floor_bytes);
    t.add("  \"appends_refused\": %s,\n  \"appends_refused_reason\": ",
          s->appends_refused ? "true" : "false");
    t.add_string(s->appends_refused_reason);
    t.add("\n}\n");
    return t.result();
}

namespace {

constexpr int json_depth_max = 8;

// A small reader for the documents above: objects, arrays, strings, numbers and the three
// words, nested at most eight deep. Every scalar is handed over with the names of the objects around it.
struct json_reader_t {
    const char *text;
    size_t length;
    size_t pos = 0;
    const char *problem = nullptr;
    vek_rir_status_t *status;
    // The names of the objects around the value being read; deeper ones are read and skipped.
    char names[json_depth_max][32] = {};
    int depth = 0;

    bool fail(const char *what)
    {
        if (problem == nullptr)
            problem = what;
        return false;
    }
    void blanks()
    {
        while (pos < length && (text[pos] == ' ' || text[pos] == '\n' || text[pos] == '\t' ||
                                text[pos] == '\r'))
            pos++;
    }
    bool take(char c)
    {
        blanks();
        if (pos < length && text[pos] == c) {
            pos++;
            return true;
        }
        return false;
    }
    // A string into out (cut at out_size - 1 bytes; what is cut is read and dropped).
    bool string(char *out, size_t out_size)
    {
        if (!take('"'))
            return fail("a string expected");
        size_t n = 0;
        while (pos < length && text[pos] != '"') {
            char c = text[pos++];
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("a control byte in a string");
            if (c == '\\') {
                if (pos >= length)
                    break;
                char e = text[pos++];
                switch (e) {
                case 'n': c = '\n'; break;
                case 't': c = '\t'; break;
                case 'r': c = '\r'; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                case 'u': {
                    unsigned value = 0;
                    for (int i = 0; i < 4; i++) {
                        if (pos >= length)
                            return fail("a cut escape");
                        char h = text[pos++];
                        unsigned digit = h >= '0' && h <= '9'   ? unsigned(h - '0')
                                         : h >= 'a' && h <= 'f' ? unsigned(h - 'a' + 10)
                                         : h >= 'A' && h <= 'F' ? unsigned(h - 'A' + 10)
                                                                : 16u;
                        if (digit == 16)
                            return fail("a bad escape");
                        value = value * 16 + digit;
                    }
                    // Our writer escapes only single bytes; anything wider is shown as '?'.
                    c = value < 0x100 && value != 0 ? static_cast<char>(value) : '?';
                    break;
                }
                default: c = e; break;
                }
            }
            if (n + 1 < out_size)
                out[n++] = c;
        }
        if (pos >= length)
            return fail("an unterminated string");
        pos++;
        if (out_size > 0)
            out[n] = '\0';
        return true;
    }
    // Any JSON number is read; only a whole one that fits is kept (*kept false otherwise), so
    // a field added later with fractions or a sign is skipped like any unknown field.
    bool number(uint64_t *value, bool *kept)
    {
        blanks();
        size_t start = pos;
        uint64_t v = 0;
        *kept = true;
        while (pos < length && strchr("-+.eE0123456789", text[pos]) != nullptr && text[pos]) {
            char c = text[pos++];
            uint64_t digit = static_cast<uint64_t>(c - '0');
            if (c < '0' || c > '9' || v > (UINT64_MAX - digit) / 10)
                *kept = false;
            else
                v = v * 10 + digit;
        }
        if (pos == start)
            return fail("a value expected");
        *value = v;
        return true;
    }
    bool array()
    {
        take('[');
        if (depth == json_depth_max)
            return fail("nested too deep");
        depth++;
        snprintf(names[depth - 1], sizeof(names[depth - 1]), "%s", "[]");
        if (!take(']')) {
            do {
                if (!value(""))
                    return false;
            } while (take(','));
            if (!take(']'))
                return fail("a comma or a closing bracket expected");
        }
        depth--;
        return true;
    }
    bool word(const char *w)
    {
        size_t n = strlen(w);
        if (length - pos >= n && memcmp(text + pos, w, n) == 0) {
            pos += n;
            return true;
        }
        return false;
    }
    vek_rir_status_duty_t *duty_named(const char *name)
    {
        for (int i = 0; i < vek_rir_status_duty_count; i++)
            if (strcmp(name, vek_rir_status_duty_names[i]) == 0)
                return &status->duties[i];
        return nullptr;
    }
    // Where a number of this name goes, or nullptr for a field this reader does not know.
    uint64_t *number_slot(const char *name)
    {
        vek_rir_status_t *s = status;
        if (depth == 1) {
            struct { const char *name; uint64_t *slot; } top[] = {
                {"format", &s->format},
                {"server_pid", &s->server_pid},
                {"server_start_time", &s->server_start_time},
                {"written_time", &s->written_time},
                {"peer_newest_record_time", &s->peer_newest_record_time},
                {"merged_newest_record_time", &s->merged_newest_record_time},
                {"records_appended_total", &s->records_appended_total},
                {"records_overwritten_total", &s->records_overwritten_total},
                {"var_free_bytes", &s->var_free_bytes},
                {"var_free_floor_bytes", &s->var_free_floor_bytes},
            };
            for (auto &f : top)
                if (strcmp(name, f.name) == 0)
                    return f.slot;
            return nullptr;
        }
        vek_rir_status_duty_t *d = depth == 3 && strcmp(names[1], "duties") == 0
                                       ? duty_named(names[2])
                                       : nullptr;
        if (d == nullptr)
            return nullptr;
        struct { const char *name; uint64_t *slot; } fields[] = {
            {"last_attempt_time", &d->last_attempt},
            {"last_success_time", &d->last_success},
            {"last_failure_time", &d->last_failure},
            {"consecutive_failures", &d->consecutive_failures},
            {"runs_total", &d->runs_total},
            {"failures_total", &d->failures_total},
        };
        for (auto &f : fields)
            if (strcmp(name, f.name) == 0)
                return f.slot;
        return nullptr;
    }
    void string_store(const char *name, const char *value)
    {
        vek_rir_status_duty_t *d = depth == 3 && strcmp(names[1], "duties") == 0
                                       ? duty_named(names[2])
                                       : nullptr;
        char *slot = nullptr;
        if (depth == 1 && strcmp(name, "appends_refused_reason") == 0)
            slot = status->appends_refused_reason;
        else if (d != nullptr && strcmp(name, "last_failure_reason") == 0)
            slot = d->last_failure_reason;
        else if (d != nullptr && strcmp(name, "nothing_to_do_reason") == 0)
            slot = d->nothing_to_do_reason;
        else if (d != nullptr && strcmp(name, "state") == 0)
            d->state = state_from_name(value);
        // A key given twice keeps its last value, and nothing of the earlier one after it.
        if (slot != nullptr) {
            memset(slot, 0, vek_rir_status_text_size);
            snprintf(slot, vek_rir_status_text_size, "%s", value);
        }
    }
    void word_store(const char *name, bool value)
    {
        if (depth != 1)
            return;
        if (strcmp(name, "server_running") == 0)
            status->server_running = value;
        else if (strcmp(name, "appends_refused") == 0)
            status->appends_refused = value;
    }
    bool value(const char *name)
    {
        blanks();
        if (pos >= length)
            return fail("a value expected");
        char c = text[pos];
        if (c == '{')
            return object(name);
        if (c == '[')
            return array();
        if (c == '"') {
            char v[vek_rir_status_text_size];
            if (!string(v, sizeof(v)))
                return false;
            string_store(name, v);
            return true;
        }
        if (word("true")) {
            word_store(name, true);
            return true;
        }
        if (word("false") || word("null")) {
            word_store(name, false);
            return true;
        }
        uint64_t v = 0;
        bool kept = false;
        if (!number(&v, &kept))
            return false;
        uint64_t *slot = kept ? number_slot(name) : nullptr;
        if (slot != nullptr)
            *slot = v;
        return true;
    }
    bool object(const char *name)
    {
        if (!take('{'))
            return fail("an object expected");
        if (depth == json_depth_max)
            return fail("nested too deep");
        snprintf(names[depth], sizeof(names[depth]), "%s", name);
        depth++;
        if (!take('}')) {
            do {
                char key[32];
                if (!string(key, sizeof(key)))
                    return false;
                if (!take(':'))
                    return fail("a colon expected");
                if (!value(key))
                    return false;
            } while (take(','));
            if (!take('}'))
                return fail("a comma or a closing brace expected");
        }
        depth--;
        return true;
    }
};

} // namespace

int vek_rir_status_json_parse(vek_rir_failure_info_t *failure_info, const char *text,
                              size_t length, vek_rir_status_t *status)
{
    memset(status, 0, sizeof(*status));
    json_reader_t reader{text, length, 0, nullptr, status};
    bool ok = reader.object("");
    reader.blanks();
    if (ok && reader.pos != length)
        ok = reader.fail("text after the document");
    if (ok)
        return 0;
    vek_rir_failure_info_set(failure_info, text_json_bad, vek_rir_status_path, reader.problem,
                             reader.pos);
    return 1;
}

size_t vek_rir_status_metrics_format(const vek_rir_status_t *s, char *out, size_t out_size)
{
    text_out_t t{out, out_size};
    auto head = [&t](const char *name, const char *type, const char *help) {
        t.add("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    };
    struct per_duty_t {
        const char *name, *type, *help;
        uint64_t vek_rir_status_duty_t::*field;
    } per_duty[] = {
        {"vek_rir_duty_last_attempt_timestamp_seconds", "gauge",
         "Wall-clock time the duty last ran (0: not since the server started).",
         &vek_rir_status_duty_t::last_attempt},
        {"vek_rir_duty_last_success_timestamp_seconds", "gauge",
         "Wall-clock time the duty last succeeded (0: not since the server started).",
         &vek_rir_status_duty_t::last_success},
        {"vek_rir_duty_last_failure_timestamp_seconds", "gauge",
         "Wall-clock time the duty last failed (0: not since the server started).",
         &vek_rir_status_duty_t::last_failure},
        {"vek_rir_duty_consecutive_failures", "gauge",
         "Failures of the duty since its last success.",
         &vek_rir_status_duty_t::consecutive_failures},
        {"vek_rir_duty_runs_total", "counter", "Runs of the duty since the server started.",
         &vek_rir_status_duty_t::runs_total},
        {"vek_rir_duty_failures_total", "counter",
         "Failed runs of the duty since the server started.",
         &vek_rir_status_duty_t::failures_total},
    };
    for (const per_duty_t &m : per_duty) {
        head(m.name, m.type, m.help);
        for (int i = 0; i < vek_rir_status_duty_count; i++)
            t.add("%s{duty=\"%s\"} %" PRIu64 "\n", m.name, vek_rir_status_duty_names[i],
                  s->duties[i].*m.field);
    }
    head("vek_rir_duty_nothing_to_do", "gauge",
         "1 when the duty's last run found nothing to do, else 0.");
    for (int i = 0; i < vek_rir_status_duty_count; i++)
        t.add("vek_rir_duty_nothing_to_do{duty=\"%s\"} %d\n", vek_rir_status_duty_names[i],
              s->duties[i].state == vek_rir_status_state_t::idle ? 1 : 0);
    struct single_t {
        const char *name, *type, *help;
        uint64_t value;
    } singles[] = {
        {"vek_rir_peer_newest_record_timestamp_seconds", "gauge",
         "Time of the newest record in the peer copy (0: no peer copy).",
         s->peer_newest_record_time},
        {"vek_rir_merged_newest_record_timestamp_seconds", "gauge",
         "Time of the newest record in the merged log (0: no merged log).",
         s->merged_newest_record_time},
        {"vek_rir_records_appended_total", "counter",
         "Records appended to the live log since it was created or last cleared.",
         s->records_appended_total},
        {"vek_rir_records_overwritten_total", "counter",
         "Appended records the ring has overwritten since then.", s->records_overwritten_total},
        {"vek_rir_var_free_bytes", "gauge", "Free bytes of /vek_var.", s->var_free_bytes},
        {"vek_rir_var_free_floor_bytes", "gauge",
         "Free bytes of /vek_var below which appends are refused.", s->var_free_floor_bytes},
        {"vek_rir_appends_refused", "gauge",
         "1 when appends are refused (too little space, /vek_var read-only), else 0.",
         s->appends_refused ? 1u : 0u},
        {"vek_rir_server_start_timestamp_seconds", "gauge", "Wall-clock time the server started.",
         s->server_start_time},
        {"vek_rir_status_written_timestamp_seconds", "gauge",
         "Wall-clock time the server wrote this health.", s->written_time},
    };
    for (const single_t &m : singles) {
        head(m.name, m.type, m.help);
        t.add("%s %" PRIu64 "\n", m.name, m.value);
    }
    return t.result();
}

namespace {

// "2 s", "4 min 3 s", "3 h 12 min", "2 d 3 h".
void age_text(uint64_t secs, char *out, size_t out_size)
{
    if (secs < 60)
        snprintf(out, out_size, "%" PRIu64 " s", secs);
    else if (secs < 3600)
        snprintf(out, out_size, "%" PRIu64 " min %" PRIu64 " s", secs / 60, secs % 60);
    else if (secs < 86400)
        snprintf(out, out_size, "%" PRIu64 " h %" PRIu64 " min", secs / 3600, secs % 3600 / 60);
    else
        snprintf(out, out_size, "%" PRIu64 " d %" PRIu64 " h", secs / 86400, secs % 86400 / 3600);
}

uint64_t since(uint64_t now, uint64_t then)
{
    return now > then ? now - then : 0;
}

struct verdict_t {
    int level = VEK_RIR_STATUS_OK;
    char reasons[512] = "";
    void raise(int to, const char *format, ...) VEK_RIR_PRINTF_LIKE(3, 4)
    {
        if (to > level)
            level = to;
        size_t used = strlen(reasons);
        if (used + 3 >= sizeof(reasons))
            return;
        if (used > 0) {
            memcpy(reasons + used, "; ", 3);
            used += 2;
        }
        va_list args;
        va_start(args, format);
        vsnprintf(reasons + used, sizeof(reasons) - used, format, args);
        va_end(args);
    }
};

const char *const level_names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

verdict_t verdict_make(const vek_rir_status_t *s, uint64_t now)
{
    verdict_t v;
    char age[32];
    if (!s->server_running) {
        v.raise(VEK_RIR_STATUS_CRITICAL, "the server has stopped");
    } else if (since(now, s->written_time) > vek_rir_status_file_stale_secs) {
        age_text(since(now, s->written_time), age, sizeof(age));
        v.raise(VEK_RIR_STATUS_CRITICAL, "status not rewritten for %s: server dead or stuck", age);
    }
    if (s->appends_refused)
        v.raise(VEK_RIR_STATUS_CRITICAL, "appends refused: %s", s->appends_refused_reason);
    // A fetch or merge is judged by how long it has gone without success, counted from the
    // server's start when it never succeeded; a merge with nothing to do is not late.
    for (vek_rir_status_duty_id_t id : {vek_rir_status_duty_fetch, vek_rir_status_duty_merge}) {
        const vek_rir_status_duty_t &d = s->duties[id];
        if (d.state == vek_rir_status_state_t::idle)
            continue;
        uint64_t base = d.last_success != 0 ? d.last_success : s->server_start_time;
        uint64_t without = since(now, base);
        age_text(without, age, sizeof(age));
        if (without >= vek_rir_status_stale_secs)
            v.raise(VEK_RIR_STATUS_CRITICAL, "%s has not succeeded for %s",
                    vek_rir_status_duty_names[id], age);
        else if (without >= vek_rir_status_late_secs)
            v.raise(VEK_RIR_STATUS_WARNING, "%s has not succeeded for %s",
                    vek_rir_status_duty_names[id], age);
    }
    for (int i = 0; i < vek_rir_status_duty_count; i++)
        if (s->duties[i].state == vek_rir_status_state_t::failed)
            v.raise(VEK_RIR_STATUS_WARNING, "%s failed", vek_rir_status_duty_names[i]);
    return v;
}

} // namespace

void vek_rir_status_summary(const vek_rir_status_t *status, uint64_t now, char *summary,
                            size_t summary_size)
{
    verdict_t v = verdict_make(status, now);
    // The verdict, then what a glance at the service wants besides: how fresh the replication is.
    char fetched[48] = "no fetch yet";
    char merged[48] = "no merge yet";
    char peer[64] = "no peer record yet";
    char age[32];
    const vek_rir_status_duty_t &fetch = status->duties[vek_rir_status_duty_fetch];
    const vek_rir_status_duty_t &merge = status->duties[vek_rir_status_duty_merge];
    if (fetch.last_success != 0) {
        age_text(since(now, fetch.last_success), age, sizeof(age));
        snprintf(fetched, sizeof(fetched), "fetched %s ago", age);
    }
    if (merge.last_success != 0) {
        age_text(since(now, merge.last_success), age, sizeof(age));
        snprintf(merged, sizeof(merged), "merged %s ago", age);
    }
    if (status->peer_newest_record_time != 0) {
        age_text(since(now, status->peer_newest_record_time), age, sizeof(age));
        snprintf(peer, sizeof(peer), "peer's newest record %s old", age);
    }
    snprintf(summary, summary_size, "%s%s%s (%s, %s, %s)", level_names[v.level],
             v.reasons[0] ? ": " : "", v.reasons, fetched, merged, peer);
}

int vek_rir_status_evaluate(const vek_rir_status_t *s, uint64_t now, char *report,
                            size_t report_size)
{
    verdict_t v = verdict_make(s, now);
    text_out_t t{report, report_size};
    t.add("RIR %s - %s\n", level_names[v.level], v.reasons[0] ? v.reasons : "every duty is well");
    char age[32];
    for (int i = 0; i < vek_rir_status_duty_count; i++) {
        const vek_rir_status_duty_t &d = s->duties[i];
        t.add("%-7s %-14s", vek_rir_status_duty_names[i],
              d.state == vek_rir_status_state_t::idle ? "nothing to do" : state_name(d.state));
        if (d.last_success != 0) {
            age_text(since(now, d.last_success), age, sizeof(age));
            t.add(" last success %s ago", age);
        } else {
            t.add(" no success yet");
        }
        if (d.state == vek_rir_status_state_t::idle)
            t.add("; %s", d.nothing_to_do_reason);
        if (d.last_failure != 0) {
            age_text(since(now, d.last_failure), age, sizeof(age));
            t.add("; last failure %s ago (%" PRIu64 " in a row): %s", age,
                  d.consecutive_failures, d.last_failure_reason);
        }
        t.add("\n");
    }
    if (s->peer_newest_record_time != 0) {
        age_text(since(now, s->peer_newest_record_time), age, sizeof(age));
        t.add("peer    newest record of the peer copy %s old", age);
    } else {
        t.add("peer    no peer copy yet");
    }
    if (s->merged_newest_record_time != 0) {
        age_text(since(now, s->merged_newest_record_time), age, sizeof(age));
        t.add(", of the merged log %s old\n", age);
    } else {
        t.add(", no merged log yet\n");
    }
    t.add("appends %" PRIu64 " since the log was created, %" PRIu64 " overwritten by the ring\n",
          s->records_appended_total, s->records_overwritten_total);
    t.add("space   %.1f MiB free on /vek_var, appends refused below %.1f MiB%s%s\n",
          static_cast<double>(s->var_free_bytes) / 1048576.0,
          static_cast<double>(s->var_free_floor_bytes) / 1048576.0,
          s->appends_refused ? "; refused now: " : "",
          s->appends_refused ? s->appends_refused_reason : "");
    age_text(since(now, s->written_time), age, sizeof(age));
    t.add("status  written %s ago by server pid %" PRIu64 "%s\n", age, s->server_pid,
          s->server_running ? "" : ", which has stopped");
    if (t.result() == 0 && report_size > 0)
        report[report_size - 1] = '\0';
    return v.level;
}

int vek_rir_cli_status(uint64_t now)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    const char *refusal = nullptr;
    vek_rir_util_fd_t fd(vek_rir_util_file_open_own(vek_rir_status_path, O_RDONLY, 0, &refusal));
    if (fd.fd < 0) {
        if (refusal == nullptr && errno == ENOENT) {
            bool live = access(vek_rir_local_path, F_OK) == 0;
            printf("RIR %s - ", live ? "CRITICAL" : "UNKNOWN");
            printf(live ? text_status_missing_live : text_status_missing, vek_rir_status_path);
            printf("\n");
            return live ? VEK_RIR_STATUS_CRITICAL : VEK_RIR_STATUS_UNKNOWN;
        }
        printf("RIR UNKNOWN - ");
        printf(text_status_unreadable, vek_rir_status_path,
               refusal != nullptr ? refusal : strerror(errno));
        printf("\n");
        return VEK_RIR_STATUS_UNKNOWN;
    }
    static char text[status_file_max + 1];
    size_t length = 0;
    for (;;) {
        ssize_t got = read(fd.fd, text + length, sizeof(text) - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            printf("RIR UNKNOWN - ");
            printf(text_status_unreadable, vek_rir_status_path, strerror(errno));
            printf("\n");
            return VEK_RIR_STATUS_UNKNOWN;
        }
        if (got == 0)
            break;
        length += static_cast<size_t>(got);
        if (length == sizeof(text)) {
            printf("RIR UNKNOWN - ");
            printf(text_status_too_big, vek_rir_status_path);
            printf("\n");
            return VEK_RIR_STATUS_UNKNOWN;
        }
    }
    vek_rir_status_t status;
    if (vek_rir_status_json_parse(&failure_info, text, length, &status) != 0) {
        printf("RIR UNKNOWN - %s\n", vek_rir_failure_info_text(&failure_info));
        return VEK_RIR_STATUS_UNKNOWN;
    }
    // A read-only /vek_var refuses every append and also keeps the server from saying so in
    // the file; the tool looks for itself, the same for every user that asks.
    struct statvfs var_fs;
    if (!status.appends_refused && statvfs(vek_rir_parent_path, &var_fs) == 0 &&
        (var_fs.f_flag & ST_RDONLY) != 0) {
        status.appends_refused = true;
        snprintf(status.appends_refused_reason, sizeof(status.appends_refused_reason), "%s",
                 text_var_read_only);
    }
    static char report[4096];
    int level = vek_rir_status_evaluate(&status, now, report, sizeof(report));
    fputs(report, stdout);
    return level;
}
