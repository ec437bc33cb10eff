// Shared by the fuzz targets: turning a short fuzz input into a whole log file, so the targets
// exercise the real file readers without the fuzzer having to invent 3 MiB per input.
//
// Input layout: one selector byte (the file's size: normal, merged, the input's own length, or
// a normal file cut short), up to 4096 header bytes, then record bytes tiled over the ring.
// Each target is a function vek_rir_fuzz_<name>(data, size); fuzz_main.cpp makes it a fuzzer,
// and the regression suite replays the corpus through it in the normal tests.
#pragma once

#include "vek_rir/vek_rir_int.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>

// A broken expectation is a finding: stop the way a sanitizer report would.
#define VEK_RIR_FUZZ_EXPECT(condition) \
    do {                               \
        if (!(condition))              \
            __builtin_trap();          \
    } while (0)

int vek_rir_fuzz_header_walk(const uint8_t *data, size_t size);
int vek_rir_fuzz_reports(const uint8_t *data, size_t size);
int vek_rir_fuzz_merge(const uint8_t *data, size_t size);
int vek_rir_fuzz_inhale(const uint8_t *data, size_t size);
int vek_rir_fuzz_fetch(const uint8_t *data, size_t size);
int vek_rir_fuzz_status(const uint8_t *data, size_t size);
int vek_rir_fuzz_request(const uint8_t *data, size_t size);
// Unbinds the request target's server end and gives the server its real duties back.
void vek_rir_fuzz_request_reset();

namespace vek_rir_fuzz {

inline size_t image_size(const uint8_t *data, size_t size)
{
    uint8_t selector = size > 0 ? data[0] : 0;
    switch (selector % 4) {
    case 0:
        return VEK_RIR_FILE_SIZE;
    case 1:
        return VEK_RIR_MERGED_FILE_SIZE;
    case 2:
        return size > 0 ? size - 1 : 0;
    default:
        return VEK_RIR_FILE_SIZE - 1 - (size > 1 ? data[1] : 0) * size_t{4096};
    }
}

inline std::string image(const uint8_t *data, size_t size)
{
    std::string out(image_size(data, size), '\0');
    if (size <= 1)
        return out;
    const uint8_t *rest = data + 1;
    size_t rest_size = size - 1;
    size_t header = std::min({rest_size, size_t{VEK_RIR_HEADER_SIZE}, out.size()});
    memcpy(&out[0], rest, header);
    const uint8_t *records = rest + header;
    size_t records_size = rest_size - header;
    if (records_size == 0)
        return out;
    for (size_t at = VEK_RIR_HEADER_SIZE; at < out.size(); at += records_size)
        memcpy(&out[at], records, std::min(records_size, out.size() - at));
    return out;
}

inline bool write_file(const char *path, const std::string &bytes)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok;
}

} // namespace vek_rir_fuzz
