#include "archive/commit.h"

bool commitArchive(ArchiveNode* head, const ProgressSink& progress) {
    return commitConvertedArchive(head, progress);
}
