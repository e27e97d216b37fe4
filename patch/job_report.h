// How the jobs report to the user: through the dialog that runs them, when
// one does, or with ownerless message boxes when none does.
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

// Run before a job reads data.hvr: undoes or finishes what an interrupted
// earlier run left. False, after telling the user what to do and which files
// to keep, when the archive cannot be made whole.
bool recoverBeforeJob();

// The job's last step: clears activeDialog, then posts the OK command to the
// dialog that was running it, so that the dialog closes.
void finishJob();
