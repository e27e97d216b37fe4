#include "jobs/patch_job.h"

#include <cstdio>

#include "archive/commit.h"
#include "jobs/common.h"

namespace {

const char NOTHING_TO_REPLACE[] = "置換対象がみつかりませんでした";
const char REPLACED_FORMAT[] = "%d個置換しました\n\nDataFormat : 0x%04X\nPatchFormat : 0x%04X";
const char NOTHING_TO_REPLACE_EN[] = "No entry to replace was found.";
const char REPLACED_ONE_FORMAT_EN[] = "Replaced %d entry.\n\nDataFormat : 0x%04X\nPatchFormat : 0x%04X";
const char REPLACED_FORMAT_EN[] = "Replaced %d entries.\n\nDataFormat : 0x%04X\nPatchFormat : 0x%04X";

const char* replacedFormat(int count) {
    if (jobTextsInJapanese()) return REPLACED_FORMAT;
    return count == 1 ? REPLACED_ONE_FORMAT_EN : REPLACED_FORMAT_EN;
}

}  // namespace

unsigned patchWorker(void*) {
    ArchivePaths paths;
    ArchiveNode* data = openArchiveForJob(ARCHIVE_FILE_NAME, &paths);
    ArchiveNode* patch = nullptr;
    CommitReport report;
    if (data == nullptr) {
        // Already reported.
    } else if ((patch = openArchive(PATCH_FILE_NAME)) == nullptr) {
        showLastError();
    } else {
        const int count = applyPatchList(data, patch);
        if (count == 0) {
            // Nothing is written: data.hvr keeps its contents.
            setProgressTo100();
            showJobMessage(jobTextsInJapanese() ? NOTHING_TO_REPLACE : NOTHING_TO_REPLACE_EN, doneCaption(),
                           MessageStyle::error);
        } else if (!commitArchive(data, CommitRule::patch, paths, dialogProgress(), &report)) {
            showCommitError(paths, report);
        } else {
            setProgressTo100();
            char text[256];
            std::snprintf(text, sizeof text, replacedFormat(count), count, unsigned(data->version),
                          unsigned(patch->version));
            showJobMessage(text, doneCaption(), MessageStyle::information);
        }
    }
    // The data list first: its replaced entries hold the patch file's handle.
    freeArchive(data);
    freeArchive(patch);
    finishJob();
    return 0;
}
