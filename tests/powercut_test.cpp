// A power cut: the live log as the disk may hold it afterwards - the image of the last flush
// plus any subset of the 4 KiB pages written since, one page perhaps torn at a 512-byte
// boundary, some taken while a writer held the mutex in the middle of an append - with the
// boot time of a new boot. On each image the tool attaches and appends, prints the header and
// the records, snaps and merges, and the export reads it with and without the cursor it saved
// before the cut. Nothing may crash or hang; every slot holds its record of the last flush, a
// later one, or the append made after the cut; no record shows complete with another's text;
// and the resumed export prints nothing it printed before the cut.

#include "tests/vek_rir_persist.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>
#include <sstream>

using namespace vek_rir_test;

namespace {

constexpr size_t page_size = 4096;
constexpr uint64_t flushed_records = VEK_RIR_RECORD_COUNT + 40; // the ring wrapped
constexpr int appended_after_flush = 40;
constexpr char cursor_before[] = "/vek_tmp/before.cursor";

// Each record's text names its sequence number, so a record shown with another's text shows.
std::string text_of(uint64_t seqno)
{
    return "rec " + std::to_string(seqno);
}

void append_numbered(uint64_t count)
{
    uint64_t first = vek_rir_helper_info(vek_rir_header).next_seqno;
    for (uint64_t s = first; s < first + count; s++)
        ASSERT_EQ(vek_rir_if_record_add(nullptr, 0, VEK_RIR_CLASS_EVENT, 0, "pc",
                                        text_of(s).c_str()),
                  VEK_RIR_RC_OK);
}

// The 4 KiB pages in which two images differ.
std::vector<size_t> pages_changed(const std::string &from, const std::string &to)
{
    std::vector<size_t> pages;
    for (size_t p = 0; p * page_size < from.size(); p++)
        if (from.compare(p * page_size, page_size, to, p * page_size, page_size) != 0)
            pages.push_back(p);
    return pages;
}

// The flushed image with the chosen pages of the later one; `torn_page` (if any) gets only
// its first `torn_bytes` from the later image.
std::string image_make(const std::string &flushed, const std::string &later,
                       const std::vector<size_t> &pages, size_t torn_page = SIZE_MAX,
                       size_t torn_bytes = 0)
{
    std::string image = flushed;
    for (size_t p : pages)
        image.replace(p * page_size, page_size, later, p * page_size, page_size);
    if (torn_page != SIZE_MAX)
        image.replace(torn_page * page_size, torn_bytes, later, torn_page * page_size, torn_bytes);
    // A new boot: the mutex belongs to the boot before.
    uint64_t old_boot = 1;
    image.replace(VEK_RIR_LOCK_OFFSET(mutex_init_boot_time), 8,
                  reinterpret_cast<const char *>(&old_boot), 8);
    return image;
}

struct json_record_t {
    uint64_t seqno = 0;
    std::string time, text;
    bool complete = false;
};

// The record lines of the export's JSON output (loss and reset lines are skipped).
std::vector<json_record_t> json_records(const std::string &out)
{
    std::vector<json_record_t> records;
    std::istringstream in(out);
    auto field = [](const std::string &line, const std::string &key) {
        size_t at = line.find("\"" + key + "\":");
        if (at == std::string::npos)
            return std::string();
        at += key.size() + 3;
        if (line[at] == '"')
            return line.substr(at + 1, line.find('"', at + 1) - at - 1);
        return line.substr(at, line.find_first_of(",}", at) - at);
    };
    for (std::string line; std::getline(in, line);) {
        if (line.find("\"lost\":") != std::string::npos || line.find("\"reset\":") != std::string::npos)
            continue;
        json_record_t r;
        r.seqno = std::stoull(field(line, "seqno"));
        r.time = field(line, "time");
        r.text = field(line, "text");
        r.complete = field(line, "complete") == "true";
        records.push_back(r);
    }
    return records;
}

class PowerCutTest : public sandbox_test {
protected:
    std::string flushed, after, held; // the images: last flush, cut after, cut mid-append
    std::set<std::pair<uint64_t, std::string>> printed_before; // (seqno, time) by the export

    void SetUp() override
    {
        sandbox_test::SetUp();
        if (HasFatalFailure())
            return;
        live_attach_t live;
        ASSERT_TRUE(live.ok) << live.failure_info.text;
        ASSERT_NO_FATAL_FAILURE(append_numbered(flushed_records));
        vek_rir_failure_info_t fi;
        ASSERT_EQ(vek_rir_file_sync(&fi), 0) << fi.text;
        flushed = read_file(vek_rir_local_path);
        ASSERT_NO_FATAL_FAILURE(append_numbered(appended_after_flush));
        command_result_t before = command_run(
            {VEK_RIR_EXPORT_PATH, "-o", "json", "-C", cursor_before}, child_limit_default,
            "the export before the cut");
        ASSERT_EQ(before.exit_code(), 0) << before.err;
        for (const json_record_t &r : json_records(before.out))
            printed_before.insert({r.seqno, r.time});
        ASSERT_EQ(printed_before.size(), VEK_RIR_RECORD_COUNT);
        after = read_file(vek_rir_local_path);
        // A writer in the middle of an append: claimed, stamped, its identity written, the
        // rest of the slot still the record a ring before.
        vek_rir_record_t *record = nullptr;
        ASSERT_EQ(vek_rir_next_record_get(&record, VEK_RIR_TRUE, &fi), 0) << fi.text;
        memcpy(vek_rir_helper_real(record).identity, "torn", 5);
        held = read_file(vek_rir_local_path);
        vek_rir_next_record_fill(record, 0, VEK_RIR_CLASS_EVENT, 0, "pc",
                                 text_of(vek_rir_helper_real(record).seqno).c_str());
        vek_rir_next_record_return(record, VEK_RIR_TRUE);
    }

    // Every check on one image; `what` names it in failures.
    void image_check(const std::string &image, const std::string &what)
    {
        SCOPED_TRACE(what);
        unlink(vek_rir_local_path);
        ASSERT_TRUE(write_file(vek_rir_local_path, image, 0664));
        // The attach and an append.
        tool_result_t add = run_tool("-o rir_add -I cut -t 'after the cut'");
        ASSERT_EQ(add.status, 0) << add.out;
        std::string now = read_file(vek_rir_local_path);
        ASSERT_EQ(now.size(), image.size());
        uint64_t n = file_info(now).next_seqno;
        EXPECT_EQ(n, file_info(image).next_seqno + 1);
        // Every slot holds its record of the last flush, a later one, or the new append.
        for (uint64_t i = 0; i < VEK_RIR_RECORD_COUNT; i++) {
            size_t at = VEK_RIR_HEADER_SIZE + i * VEK_RIR_RECORD_SIZE;
            std::string slot = now.substr(at, VEK_RIR_RECORD_SIZE);
            bool known = slot == flushed.substr(at, VEK_RIR_RECORD_SIZE) ||
                         slot == after.substr(at, VEK_RIR_RECORD_SIZE) ||
                         slot == held.substr(at, VEK_RIR_RECORD_SIZE) ||
                         (i == (n - 1) % VEK_RIR_RECORD_COUNT &&
                          std::string(file_record(now, i).identity) == "cut");
            ASSERT_TRUE(known) << "slot " << i << " holds what no writer wrote";
        }
        tool_result_t info = run_tool(std::string("-o rir_info -M ") + vek_rir_local_path);
        EXPECT_EQ(info.status, 0) << info.out;
        // The dump: a record shown complete carries its own text.
        tool_result_t dump = run_tool(std::string("-o rir_dump -M ") + vek_rir_local_path);
        ASSERT_EQ(dump.status, 0) << dump.out.substr(0, 200);
        std::istringstream lines(dump.out);
        size_t complete = 0;
        for (std::string line; std::getline(lines, line);) {
            std::vector<std::string> cells;
            std::istringstream cut(line);
            for (std::string cell; std::getline(cut, cell, '|');)
                cells.push_back(cell);
            if (cells.size() != 7 || cells[1].back() != 'C')
                continue;
            complete++;
            uint64_t seqno = std::stoull(cells[0]);
            if (cells[5].find("cut") == std::string::npos)
                EXPECT_EQ(cells[6], text_of(seqno)) << line;
        }
        EXPECT_GT(complete, VEK_RIR_RECORD_COUNT - 100);
        // The export without a cursor: each record once, whole, with its own text.
        command_result_t all =
            command_run({VEK_RIR_EXPORT_PATH, "-o", "json"}, child_limit_default, "the export");
        EXPECT_EQ(all.exit_code(), 0) << all.err;
        std::set<uint64_t> seen;
        for (const json_record_t &r : json_records(all.out)) {
            EXPECT_TRUE(r.complete) << r.seqno;
            EXPECT_TRUE(seen.insert(r.seqno).second) << "printed twice: " << r.seqno;
            if (r.text != "after the cut")
                EXPECT_EQ(r.text, text_of(r.seqno));
        }
        // The export resumed from the cursor saved before the cut: nothing printed again, and
        // the append made after the cut printed.
        ASSERT_TRUE(write_file("/vek_tmp/cursor", read_file(cursor_before)));
        command_result_t resumed = command_run({VEK_RIR_EXPORT_PATH, "-o", "json", "-C", "/vek_tmp/cursor"},
                                               child_limit_default, "the resumed export");
        EXPECT_EQ(resumed.exit_code(), 0) << resumed.err;
        bool new_one = false;
        for (const json_record_t &r : json_records(resumed.out)) {
            EXPECT_EQ(printed_before.count({r.seqno, r.time}), 0u)
                << "printed again after the cut: " << r.seqno;
            new_one |= r.text == "after the cut";
        }
        EXPECT_TRUE(new_one) << resumed.out.substr(0, 300);
        // A snapshot, and a merge of it with the image as it lay after the cut.
        ASSERT_TRUE(write_file("/vek_tmp/image.bin", image));
        EXPECT_EQ(run_tool("-o rir_snap -M /vek_tmp/snap.bin").status, 0);
        tool_result_t merge =
            run_tool("-o rir_merge -M /vek_tmp/merged.bin -G /vek_tmp/snap.bin -H /vek_tmp/image.bin");
        EXPECT_EQ(merge.status, 0) << merge.out;
    }
};

TEST_F(PowerCutTest, EveryImageADiskMayHoldAfterACutIsReadAndAppendedToSafely)
{
    std::vector<size_t> pages = pages_changed(flushed, after);
    ASSERT_EQ(pages.size(), 4u); // the header and the three pages the later appends wrote
    // Cut after the appends: every subset of the pages written since the flush.
    for (size_t mask = 0; mask < (size_t{1} << pages.size()); mask++) {
        std::vector<size_t> chosen;
        for (size_t k = 0; k < pages.size(); k++)
            if (mask & (size_t{1} << k))
                chosen.push_back(pages[k]);
        ASSERT_NO_FATAL_FAILURE(image_check(image_make(flushed, after, chosen),
                                            "after the appends, page set " + std::to_string(mask)));
    }
    // One page torn at a 512-byte boundary, the others from either side.
    std::mt19937 random(20261209);
    for (size_t p : pages) {
        for (size_t torn_bytes : {size_t{512}, size_t{1536}, size_t{3584}}) {
            std::vector<size_t> chosen;
            for (size_t q : pages)
                if (q != p && random() % 2)
                    chosen.push_back(q);
            ASSERT_NO_FATAL_FAILURE(image_check(
                image_make(flushed, after, chosen, p, torn_bytes),
                "page " + std::to_string(p) + " torn after " + std::to_string(torn_bytes)));
        }
    }
    // Cut while a writer held the mutex in the middle of an append: the header with the held
    // mutex and the claimed slot, with seeded samples of the other pages.
    std::vector<size_t> held_pages = pages_changed(flushed, held);
    ASSERT_EQ(held_pages.size(), 5u);
    for (int sample = 0; sample < 6; sample++) {
        std::vector<size_t> chosen = {0, held_pages.back()};
        for (size_t q : held_pages)
            if (q != 0 && q != held_pages.back() && random() % 2)
                chosen.push_back(q);
        ASSERT_NO_FATAL_FAILURE(image_check(image_make(flushed, held, chosen),
                                            "mid-append, sample " + std::to_string(sample)));
    }
}

} // namespace
