#include "tests/recording_shell.h"

#include <mutex>

std::atomic<JobDialog*> activeDialog{nullptr};

namespace {
std::mutex guard;
std::vector<RecordedMessage> messages;
}  // namespace

void showMessageWithoutOwner(const std::string& text, const std::string& caption, MessageStyle style) {
    std::lock_guard<std::mutex> lock(guard);
    messages.push_back({text, caption, style});
}

std::vector<RecordedMessage> recordedMessages() {
    std::lock_guard<std::mutex> lock(guard);
    return messages;
}

void clearRecordedMessages() {
    std::lock_guard<std::mutex> lock(guard);
    messages.clear();
}
