// Makes one target a libFuzzer fuzzer; the target is chosen at compile time.
#include "tests/fuzz/vek_rir_fuzz.h"

#include <stdint.h>
#include <stdlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return VEK_RIR_FUZZ_TARGET(data, size);
}
