// A shell for tests that run a job in the test process: no dialog runs, and
// every message box the job shows is recorded instead of shown.
#pragma once

#include <string>
#include <vector>

#include "shell/shell.h"

struct RecordedMessage {
    std::string text;
    std::string caption;
    MessageStyle style;
};

// The boxes shown since the last clear, in order.
std::vector<RecordedMessage> recordedMessages();
void clearRecordedMessages();
