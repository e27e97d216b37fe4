#include "jobs/common.h"

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

// The texts about the journal name the files as they are: data.hvr and its
// journal in the current folder, or the paths beside a linked archive.
std::string foreignJournalText(const ArchivePaths& paths) {
    const std::string& archive = paths.archive;
    const std::string& journal = paths.journal;
    if (userPrefersJapanese()) {
        return journal + " は、いまの " + archive + " のものではありません。\n\n" + archive + " と " + journal +
               " の両方を消さずに保管してください。中断された処理の前の " + archive +
               " を元の場所に戻してからもう一度実行すると、処理の取り消しを完了します。";
    }
    return journal + " does not belong to this " + archive + ".\n\nKeep both " + archive + " and " + journal +
           ". Put back the " + archive +
           " that was being changed when the program stopped, then run it again: it will finish undoing the "
           "interrupted change.";
}

std::string unfinishedRollbackText(const ArchivePaths& paths) {
    const std::string& archive = paths.archive;
    const std::string& journal = paths.journal;
    if (userPrefersJapanese()) {
        return "前回中断された処理を取り消せませんでした。" + archive + " と " + journal +
               " を消さずに保管し、原因を取り除いてからもう一度実行してください。";
    }
    return "The change an earlier run left unfinished could not be undone. Keep " + archive + " and " + journal +
           ", remove the cause, then run the program again.";
}

std::string keptJournalText(const ArchivePaths& paths) {
    const std::string& archive = paths.archive;
    const std::string& journal = paths.journal;
    if (userPrefersJapanese()) {
        return archive + " を元に戻せませんでした。元に戻すための情報は " + journal + " にあります。" + archive +
               " と " + journal +
               " を消さずに保管し、原因を取り除いてからもう一度実行すると、変更の取り消しを完了します。";
    }
    return archive + " could not be put back as it was. " + journal + " holds the way back: keep it and " + archive +
           ", remove the cause, then run the program again; it will finish undoing the change.";
}

}  // namespace

ArchiveNode* openArchiveForJob(const char* name, ArchivePaths* resolved) {
    if (!archivePathsFor(name, resolved)) {
        showLastError();
        return nullptr;
    }
    const ArchivePaths& paths = *resolved;
    FileHandle file = nullptr;
    switch (openForChange(paths, &file)) {
        case Recovery::clean:
        case Recovery::recovered: break;
        case Recovery::failed: showLastError(); return nullptr;
        case Recovery::foreignJournal:
            showJobMessage(foreignJournalText(paths), errorCaption(), MessageStyle::error);
            return nullptr;
        case Recovery::rollbackFailed:
            showJobMessage(errorText(getLastError()) + "\n\n" + unfinishedRollbackText(paths), errorCaption(),
                           MessageStyle::error);
            return nullptr;
    }
    ArchiveNode* head = readArchive(file);
    if (head == nullptr) {
        {
            LastErrorGuard keep;
            fileOps().close(file);
        }
        showLastError();
    }
    return head;
}

void showCommitError(const ArchivePaths& paths, const CommitReport& report) {
    if (!report.journalKept) {
        showLastError();
        return;
    }
    showJobMessage(errorText(getLastError()) + "\n\n" + keptJournalText(paths), errorCaption(), MessageStyle::error);
}
