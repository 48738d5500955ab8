// One libFuzzer target; FUZZ_ENTRY names the entry of fuzz/entries.h.
#include <cstdio>

#include "fuzz/entries.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The program's own messages would drown the fuzzer's (on stderr).
    if (!std::freopen("/dev/null", "w", stdout))
        return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_ENTRY(data, size);
    return 0;
}
