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

// As the Windows programs do, so that tests compare with the Japanese texts
// whatever locale they run in.
bool jobTextsInJapanese() { return true; }

std::vector<RecordedMessage> recordedMessages() {
    std::lock_guard<std::mutex> lock(guard);
    return messages;
}

void clearRecordedMessages() {
    std::lock_guard<std::mutex> lock(guard);
    messages.clear();
}
