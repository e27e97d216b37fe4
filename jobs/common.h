// What both jobs share: opening the archive for a change, the data total the
// commit needs, and how they report to the user: through the dialog that
// runs them, when one does, or with ownerless message boxes when none does.
#pragma once

#include <string>

#include "archive/commit.h"
#include "shell/shell.h"

// The captions of the jobs' message boxes.
constexpr const char* CAPTION_ERROR = "エラー";
constexpr const char* CAPTION_DONE = "完了";
constexpr const char* CAPTION_ERROR_EN = "Error";
constexpr const char* CAPTION_DONE_EN = "Done";

// The captions in the language of the job texts (jobTextsInJapanese).
const char* errorCaption();
const char* doneCaption();

// Shows one message box owned by the running dialog, or with no owner.
void showJobMessage(const std::string& text, const char* caption, MessageStyle style);

// The error box for the calling thread's last error: the system's text for
// it, or, where the system has none, the code in decimal and hexadecimal.
void showLastError();

// Moves the running dialog's bar to its end; nothing when no dialog runs.
void setProgressTo100();

// Sends the commit's progress to the running dialog's bar.
ProgressSink dialogProgress();

// Adds the stored sizes of the head's entries to the head's storedSize
// (modulo 2^32, as the head keeps it): the data total the commit needs.
void sumStoredSizes(ArchiveNode* head);

// Opens the job's archive `name` (data.hvr, or the file it links to, whose
// paths land in `*paths`) for a change: holds it, makes whole what an
// interrupted earlier run left, and reads its table. Null after telling the
// user why, and which files to keep when it matters.
ArchiveNode* openArchiveForJob(const char* name, ArchivePaths* paths);

// The error box for a failed commit: the system's text for the last error,
// and, when the failed in-place pass could not be rolled back, which files
// hold the way back.
void showCommitError(const ArchivePaths& paths, const CommitReport& report);

// The job's last step: clears activeDialog, then posts the OK command to the
// dialog that was running it, so that the dialog closes.
void finishJob();
