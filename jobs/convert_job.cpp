#include "jobs/convert_job.h"

#include <cstdio>

#include "archive/commit.h"
#include "archive/format.h"
#include "jobs/common.h"

namespace {

const char TO_V2_FORMAT[] = "変換しました\n\nDataFormat : 0x%04X -> 0x0200";
const char TO_V1_FORMAT[] = "変換しました\n\nDataFormat : 0x%04X -> 0x0103";
const char TO_V2_FORMAT_EN[] = "Converted.\n\nDataFormat : 0x%04X -> 0x0200";
const char TO_V1_FORMAT_EN[] = "Converted.\n\nDataFormat : 0x%04X -> 0x0103";
constexpr uint16_t TARGET_V2 = 0x0200;
constexpr uint16_t TARGET_V1 = 0x0103;

}  // namespace

unsigned convertWorker(void*) {
    ArchivePaths paths;
    ArchiveNode* head = openArchiveForJob(ARCHIVE_FILE_NAME, &paths);
    CommitReport report;
    if (head != nullptr) {
        sumStoredSizes(head);
        // The reader accepts no other major format, so this is the whole
        // choice; the minor byte plays no part.
        const bool toV2 = (head->version & MAJOR_MASK) == MAJOR_V1;
        char text[256];
        const bool japanese = jobTextsInJapanese();
        const char* format =
            toV2 ? (japanese ? TO_V2_FORMAT : TO_V2_FORMAT_EN) : (japanese ? TO_V1_FORMAT : TO_V1_FORMAT_EN);
        std::snprintf(text, sizeof text, format, unsigned(head->version));
        head->version = toV2 ? TARGET_V2 : TARGET_V1;
        if (!commitArchive(head, CommitRule::convert, paths, dialogProgress(), &report)) {
            showCommitError(paths, report);
        } else {
            setProgressTo100();
            showJobMessage(text, doneCaption(), MessageStyle::information);
        }
    }
    freeArchive(head);
    finishJob();
    return 0;
}
