#include "patch/patch_job.h"

#include <cstdio>

#include "archive/commit.h"
#include "patch/job_report.h"

namespace {

const char NOTHING_TO_REPLACE[] = "置換対象がみつかりませんでした";
const char REPLACED_FORMAT[] = "%d個置換しました\n\nDataFormat : 0x%04X\nPatchFormat : 0x%04X";

}  // namespace

unsigned patchWorker(void*) {
    const ArchivePaths paths = archivePathsFor(ARCHIVE_FILE_NAME);
    ArchiveNode* data = openArchiveForJob(paths);
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
            showJobMessage(NOTHING_TO_REPLACE, CAPTION_DONE, MessageStyle::error);
        } else if (!commitArchive(data, CommitRule::patch, paths, dialogProgress(), &report)) {
            showCommitError(paths, report);
        } else {
            setProgressTo100();
            char text[256];
            std::snprintf(text, sizeof text, REPLACED_FORMAT, count, unsigned(data->version),
                          unsigned(patch->version));
            showJobMessage(text, CAPTION_DONE, MessageStyle::information);
        }
    }
    // The data list first: its replaced entries hold the patch file's handle.
    freeArchive(data);
    freeArchive(patch);
    finishJob();
    return 0;
}
