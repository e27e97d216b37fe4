#include <cerrno>
#include <cstdio>

#include "platform/error_codes.h"
#include "platform/file_ops.h"
#include "platform/standard_streams.h"
#include "platform/user_locale.h"

bool finishStandardOutput() {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (flushed && !std::ferror(stdout)) return true;
    // The C library's errno is all a failed stream leaves; the two causes a
    // user can act on get their own texts.
    return failWith(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
}

int finishTool(const char* program, int status) {
    if (finishStandardOutput()) return status;
    std::fprintf(stderr, "%s: standard output: %s\n", program, toUserCharset(errorText(getLastError())).c_str());
    return status == 0 ? 1 : status;
}
