#include "archive/commit.h"

bool commitArchive(ArchiveNode* head, const ProgressSink& progress) {
    return commitPatchedArchive(head, progress);
}
