#include "patch/job_report.h"

#include "archive/journal.h"
#include "platform/file_ops.h"

void showJobMessage(const std::string& text, const char* caption, MessageStyle style) {
    // The owner is looked up afresh at each use, as the dialog may be gone.
    if (JobDialog* dialog = activeDialog.load()) {
        dialog->showMessage(text, caption, style);
    } else {
        showMessageWithoutOwner(text, caption, style);
    }
}

const char* errorCaption() { return jobTextsInJapanese() ? CAPTION_ERROR : CAPTION_ERROR_EN; }

const char* doneCaption() { return jobTextsInJapanese() ? CAPTION_DONE : CAPTION_DONE_EN; }

void showLastError() {
    const uint32_t code = getLastError();
    showJobMessage(errorText(code), errorCaption(), MessageStyle::error);
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

namespace {

const char FOREIGN_JOURNAL_JA[] =
    "data.hvr-journal は、いまの data.hvr のものではありません。\n\n"
    "data.hvr と data.hvr-journal の両方を消さずに保管してください。"
    "中断された処理の前の data.hvr を元の場所に戻してからもう一度実行すると、処理の取り消しを完了します。";
const char FOREIGN_JOURNAL_EN[] =
    "data.hvr-journal does not belong to this data.hvr.\n\n"
    "Keep both data.hvr and data.hvr-journal. Put back the data.hvr that was being changed when the "
    "program stopped, then run it again: it will finish undoing the interrupted change.";
const char KEEP_FILES_JA[] =
    "前回中断された処理を取り消せませんでした。data.hvr と data.hvr-journal を消さずに保管し、"
    "原因を取り除いてからもう一度実行してください。";
const char KEEP_FILES_EN[] =
    "The change an earlier run left unfinished could not be undone. Keep data.hvr and "
    "data.hvr-journal, remove the cause, then run the program again.";

}  // namespace

bool recoverBeforeJob() {
    const bool japanese = userPrefersJapanese();
    switch (recoverArchive()) {
        case Recovery::clean:
        case Recovery::recovered:
            return true;
        case Recovery::foreignJournal:
            showJobMessage(japanese ? FOREIGN_JOURNAL_JA : FOREIGN_JOURNAL_EN, errorCaption(), MessageStyle::error);
            return false;
        case Recovery::failed:
            break;
    }
    const std::string text = errorText(getLastError()) + "\n\n" + (japanese ? KEEP_FILES_JA : KEEP_FILES_EN);
    showJobMessage(text, errorCaption(), MessageStyle::error);
    return false;
}
