// Kept apart from the rest of jobs/common so that what only adds sizes (the
// merge, the benchmarks) does not bring the dialog along.
#include "jobs/common.h"

void sumStoredSizes(ArchiveNode* head) {
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        head->storedSize += entry->storedSize;
    }
}
