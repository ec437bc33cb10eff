// Log files built in memory for tests: a valid header and ring that a test then changes byte
// by byte, written to any path or kept as bytes. Shared by every suite that reads log files.
#pragma once

#include "vek_rir/vek_rir_int.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vek_rir_test {

struct test_log_t {
    std::vector<uint8_t> bytes;

    // A valid, empty log of `record_count` slots (the live size or the merged one).
    explicit test_log_t(uint64_t record_count = VEK_RIR_RECORD_COUNT)
        : bytes(VEK_RIR_HEADER_SIZE + record_count * VEK_RIR_RECORD_SIZE, 0)
    {
        vek_rir_header_info_real_t &i = info();
        i.magic = VEK_RIR_MAGIC;
        i.version = VEK_RIR_VERSION_1;
        i.record_size = VEK_RIR_RECORD_SIZE;
        i.record_count = record_count;
    }

    vek_rir_header_t *header() { return reinterpret_cast<vek_rir_header_t *>(bytes.data()); }
    vek_rir_header_info_real_t &info() { return vek_rir_helper_info(header()); }
    uint64_t slots() const { return (bytes.size() - VEK_RIR_HEADER_SIZE) / VEK_RIR_RECORD_SIZE; }
    vek_rir_record_real_t &slot(uint64_t index)
    {
        return vek_rir_helper_real(vek_rir_helper_slot(header(), index));
    }

    // Appends as a writer would: next sequence number, its slot, USED|COMPLETE plus `flags`.
    vek_rir_record_real_t &append(uint64_t secs, uint64_t usecs, const char *identity,
                                  const char *text, uint64_t rir_class = 0, uint64_t code = 0,
                                  uint64_t flags = 0)
    {
        vek_rir_header_info_real_t &i = info();
        uint64_t seqno = i.next_seqno++;
        vek_rir_record_real_t &r = slot(seqno % i.record_count);
        memset(&r, 0, sizeof(r));
        r.seqno = seqno;
        r.flags = VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE | flags;
        r.time_secs = secs;
        r.time_usecs = usecs;
        r.rir_class = rir_class;
        r.code = code;
        memcpy(r.identity, identity, std::min(strlen(identity), sizeof(r.identity) - 1));
        memcpy(r.text, text, std::min(strlen(text), sizeof(r.text) - 1));
        i.last_touch_secs = secs;
        i.last_touch_usecs = usecs;
        return r;
    }

    std::string str() const { return std::string(bytes.begin(), bytes.end()); }
};

}  // namespace vek_rir_test
