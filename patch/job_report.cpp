#include "patch/job_report.h"

#include "platform/file_ops.h"

void showJobMessage(const std::string& text, const char* caption, MessageStyle style) {
    // The owner is looked up afresh at each use, as the dialog may be gone.
    if (JobDialog* dialog = activeDialog.load()) {
        dialog->showMessage(text, caption, style);
    } else {
        showMessageWithoutOwner(text, caption, style);
    }
}

void showLastError() {
    const uint32_t code = getLastError();
    showJobMessage(errorText(code), CAPTION_ERROR, MessageStyle::error);
}

void setProgressTo100() {
    if (JobDialog* dialog = activeDialog.load()) dialog->setProgress(100);
}

ProgressSink dialogProgress() {
    ProgressSink sink;
    sink.report = [](void*, uint32_t position) {
        if (JobDialog* dialog = activeDialog.load()) dialog->setProgress(position);
    };
    return sink;
}

void finishJob() {
    JobDialog* dialog = activeDialog.exchange(nullptr);
    if (dialog != nullptr) dialog->postOk();
}
