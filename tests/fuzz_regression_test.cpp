// Every input of the fuzz corpus (the seeds, and each input that once found a fault, kept
// beside them) replayed through its target in the normal suite, so a fault found by fuzzing
// stays fixed. A target that stops on a broken expectation fails the test by crashing it.

#include "tests/fuzz/vek_rir_fuzz.h"
#include "tests/vek_rir_sandbox.h"

#include <dirent.h>

#include <string>
#include <vector>

using namespace vek_rir_test;

namespace {

class FuzzRegressionTest : public sandbox_test {
protected:
    void TearDown() override
    {
        vek_rir_fuzz_request_reset();
        if (vek_rir_header != nullptr)
            vek_rir_file_detach();
        sandbox_test::TearDown();
    }
};

std::vector<std::string> corpus_of(const std::string &target)
{
    std::vector<std::string> files;
    std::string dir = std::string(VEK_RIR_SOURCE_DIR) + "/tests/fuzz/corpus/" + target;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *entry = readdir(d))
            if (entry->d_name[0] != '.')
                files.push_back(dir + "/" + entry->d_name);
        closedir(d);
    }
    return files;
}

TEST_F(FuzzRegressionTest, EveryCorpusInputPassesItsTarget)
{
    struct target_t {
        const char *name;
        int (*run)(const uint8_t *, size_t);
    };
    const target_t targets[] = {
        {"header_walk", vek_rir_fuzz_header_walk}, {"reports", vek_rir_fuzz_reports},
        {"merge", vek_rir_fuzz_merge},             {"inhale", vek_rir_fuzz_inhale},
        {"fetch", vek_rir_fuzz_fetch},             {"request", vek_rir_fuzz_request},
        {"status", vek_rir_fuzz_status},
    };
    for (const target_t &t : targets) {
        std::vector<std::string> files = corpus_of(t.name);
        EXPECT_GE(files.size(), 5u) << t.name;
        for (const std::string &file : files) {
            SCOPED_TRACE(file);
            std::string bytes = read_file(file);
            EXPECT_EQ(t.run(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()), 0);
        }
    }
}

} // namespace
