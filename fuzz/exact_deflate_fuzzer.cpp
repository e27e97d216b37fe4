// libFuzzer entry for runExactDeflateTarget (fuzz/fuzz_targets.h).
#include <cstdio>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const TargetOutcome outcome = runExactDeflateTarget(data, size);
    if (outcome.broken != nullptr) {
        std::fprintf(stderr, "invariant broken: %s\n", outcome.broken);
        // A crash is what makes libFuzzer keep the input as a finding.
        __builtin_trap();
    }
    return 0;
}
