// The export's command line (getopt_long, the short and long forms operators know from the
// journal and tail), its usage text, the parsing of times and classes, and the record filter.
// Nothing here touches a file.

#include "vek_rir_export/vek_rir_export.h"

#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

constexpr char usage_text[] =
    "usage: vek_rir_export [-M FILE] [-f|--follow] [-o text|json] [--since TIME] [--until TIME]\n"
    "                      [--class NAME[,NAME...]] [--identity ID] [--node A|B]\n"
    "                      [--cursor-file PATH]\n"
    "  -M, --file FILE       read FILE (a snapshot, peer copy or merged log) instead of the\n"
    "                        live log\n"
    "  -f, --follow          print new records of a node's log as they are appended\n"
    "  -o, --output FORMAT   text (rir_dump's lines, the default) or json (one object a line)\n"
    "  -S, --since TIME      only records at or after TIME (seconds since the epoch, or\n"
    "                        \"YYYY-MM-DD HH:MM:SS\" in UTC)\n"
    "  -U, --until TIME      only records at or before TIME\n"
    "  -c, --class NAMES     only these classes (names such as EVENT, or numbers)\n"
    "  -i, --identity ID     only records of exactly this identity\n"
    "  -n, --node A|B        only records written on this node\n"
    "  -C, --cursor-file P   resume after the position saved in P, and save it there\n"
    "  -h, --help            this text\n"
    "      --version         the program's version\n";

enum { option_version = 256 };

const struct option long_options[] = {
    {"file", required_argument, nullptr, 'M'},
    {"follow", no_argument, nullptr, 'f'},
    {"output", required_argument, nullptr, 'o'},
    {"since", required_argument, nullptr, 'S'},
    {"until", required_argument, nullptr, 'U'},
    {"class", required_argument, nullptr, 'c'},
    {"identity", required_argument, nullptr, 'i'},
    {"node", required_argument, nullptr, 'n'},
    {"cursor-file", required_argument, nullptr, 'C'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, option_version},
    {nullptr, 0, nullptr, 0},
};

constexpr char short_options[] = ":M:fo:S:U:c:i:n:C:h";

// A whole unsigned number, nothing before or after it.
int number_parse(const char *text, int base, uint64_t *value)
{
    if (*text == 0 || *text == '-' || *text == '+' || *text == ' ')
        return 1;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, base);
    if (errno != 0 || end == text || *end != 0)
        return 1;
    *value = v;
    return 0;
}

int classes_parse(vek_rir_export_options_t *options, const char *list, char *error,
                  size_t error_size)
{
    char buffer[512];
    if (strlen(list) >= sizeof(buffer)) {
        snprintf(error, error_size, "class list too long");
        return 1;
    }
    strcpy(buffer, list);
    char *save = nullptr;
    for (char *name = strtok_r(buffer, ",", &save); name; name = strtok_r(nullptr, ",", &save)) {
        if (options->class_count == VEK_RIR_EXPORT_CLASSES_MAX) {
            snprintf(error, error_size, "at most %d classes", VEK_RIR_EXPORT_CLASSES_MAX);
            return 1;
        }
        if (vek_rir_export_class_parse(name, &options->classes[options->class_count]) != 0) {
            snprintf(error, error_size, "unknown class: %s", name);
            return 1;
        }
        options->class_count++;
    }
    if (options->class_count == 0) {
        snprintf(error, error_size, "no class given");
        return 1;
    }
    return 0;
}

} // namespace

void vek_rir_export_usage(FILE *stream)
{
    fputs(usage_text, stream);
}

int vek_rir_export_time_parse(const char *text, uint64_t *secs)
{
    if (number_parse(text, 10, secs) == 0)
        return 0;
    struct tm fields;
    memset(&fields, 0, sizeof(fields));
    const char *end = strptime(text, "%Y-%m-%d %H:%M:%S", &fields);
    if (end == nullptr || *end != 0)
        return 1;
    time_t t = timegm(&fields);
    if (t < 0)
        return 1;
    *secs = static_cast<uint64_t>(t);
    return 0;
}

int vek_rir_export_class_parse(const char *text, uint64_t *rir_class)
{
    // A name is what the dump prints for the class it stands for.
    uint64_t named = vek_rir_convert_text_to_class(text);
    char buffer[64];
    if (strcmp(vek_rir_convert_class_to_text(named, buffer, sizeof(buffer)), text) == 0 &&
        vek_rir_convert_class_to_text(named, buffer, sizeof(buffer)) != buffer) {
        *rir_class = named;
        return 0;
    }
    return number_parse(text, 0, rir_class);
}

int vek_rir_export_options_parse(int argc, char **argv, vek_rir_export_options_t *options,
                                 char *error, size_t error_size)
{
    *options = vek_rir_export_options_t{};
    error[0] = 0;
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (c) {
        case 'M':
            options->log_path = optarg;
            options->log_is_live = false;
            break;
        case 'f':
            options->follow = true;
            break;
        case 'o':
            if (strcmp(optarg, "text") == 0) {
                options->format = VEK_RIR_EXPORT_FORMAT_TEXT;
            } else if (strcmp(optarg, "json") == 0) {
                options->format = VEK_RIR_EXPORT_FORMAT_JSON;
            } else {
                snprintf(error, error_size, "unknown output format: %s (text or json)", optarg);
                return 1;
            }
            break;
        case 'S':
        case 'U': {
            uint64_t secs = 0;
            if (vek_rir_export_time_parse(optarg, &secs) != 0) {
                snprintf(error, error_size,
                         "bad time: %s (seconds since the epoch or \"YYYY-MM-DD HH:MM:SS\")",
                         optarg);
                return 1;
            }
            if (c == 'S') {
                options->since_set = true;
                options->since = secs;
            } else {
                options->until_set = true;
                options->until = secs;
            }
            break;
        }
        case 'c':
            if (classes_parse(options, optarg, error, error_size) != 0)
                return 1;
            break;
        case 'i':
            if (strlen(optarg) > VEK_RIR_MAX_LENGTH_IDENTITY) {
                snprintf(error, error_size, "identity longer than %d characters",
                         VEK_RIR_MAX_LENGTH_IDENTITY);
                return 1;
            }
            options->identity = optarg;
            break;
        case 'n':
            if (strcmp(optarg, "A") == 0) {
                options->node_flag = VEK_RIR_RECORD_FLAG_NODE_A;
            } else if (strcmp(optarg, "B") == 0) {
                options->node_flag = VEK_RIR_RECORD_FLAG_NODE_B;
            } else {
                snprintf(error, error_size, "unknown node: %s (A or B)", optarg);
                return 1;
            }
            break;
        case 'C':
            if (optarg[0] == 0) {
                snprintf(error, error_size, "empty cursor file path");
                return 1;
            }
            options->cursor_path = optarg;
            break;
        case 'h':
            options->help = true;
            break;
        case option_version:
            options->version = true;
            break;
        case ':':
            snprintf(error, error_size, "option %s needs a value", argv[optind - 1]);
            return 1;
        default:
            if (optopt != 0)
                snprintf(error, error_size, "unknown option -%c (see --help)", optopt);
            else
                snprintf(error, error_size, "unknown option %s (see --help)", argv[optind - 1]);
            return 1;
        }
    }
    if (optind < argc) {
        snprintf(error, error_size, "unexpected argument: %s (see --help)", argv[optind]);
        return 1;
    }
    if (options->since_set && options->until_set && options->since > options->until) {
        snprintf(error, error_size, "--since is after --until");
        return 1;
    }
    return 0;
}

bool vek_rir_export_filter_pass(const vek_rir_export_options_t *options,
                                const vek_rir_record_real_t &real)
{
    if (options->since_set && real.time_secs < options->since)
        return false;
    if (options->until_set && real.time_secs > options->until)
        return false;
    if (options->node_flag != 0 && !(real.flags & options->node_flag))
        return false;
    if (options->class_count > 0) {
        bool found = false;
        for (int i = 0; i < options->class_count && !found; i++)
            found = real.rir_class == options->classes[i];
        if (!found)
            return false;
    }
    if (options->identity != nullptr) {
        size_t length = strlen(options->identity);
        if (strncmp(real.identity, options->identity, sizeof(real.identity)) != 0 ||
            length >= sizeof(real.identity))
            return false;
    }
    return true;
}
