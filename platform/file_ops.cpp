#include "platform/file_ops.h"

#include <cstdio>

namespace {
const FileOps* installed = nullptr;
}

const FileOps& fileOps() { return installed != nullptr ? *installed : platformFileOps(); }

void setFileOpsForTesting(const FileOps* ops) { installed = ops; }

std::string errorText(uint32_t code) {
    std::string text;
    if (systemErrorText(code, &text)) return text;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, userPrefersJapanese() ? "エラー コード %u (0x%08X)" : "Error code %u (0x%08X)",
                  unsigned(code), unsigned(code));
    return buffer;
}
