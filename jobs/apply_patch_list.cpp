#include <unordered_map>

#include "archive/format.h"
#include "jobs/common.h"
#include "jobs/patch_job.h"

namespace {

const char* nameOf(const ArchiveNode* entry) { return reinterpret_cast<const char*>(entry->name); }

struct NameHash {
    size_t operator()(const char* name) const { return size_t(nameHashIgnoringCase(name)); }
};
struct NameEqual {
    bool operator()(const char* a, const char* b) const { return namesEqualIgnoringCase(a, b); }
};

// The patch's file entries by name: for each name, how many entries carry it
// and the last of them in table order.
struct PatchMatch {
    int count = 0;
    const ArchiveNode* last = nullptr;
};

}  // namespace

int applyPatchList(ArchiveNode* dataHead, ArchiveNode* patchHead) {
    std::unordered_map<const char*, PatchMatch, NameHash, NameEqual> index;
    for (const ArchiveNode* patch = patchHead->next; patch != nullptr; patch = patch->next) {
        if (patch->isDirectory) continue;
        PatchMatch& match = index[nameOf(patch)];
        ++match.count;
        match.last = patch;
    }

    int count = 0;
    for (ArchiveNode* data = dataHead->next; data != nullptr; data = data->next) {
        const auto found = index.find(nameOf(data));
        if (found == index.end()) continue;
        takePatchBytes(data, patchHead, found->second.last);
        count += found->second.count;
    }
    sumStoredSizes(dataHead);
    return count;
}

void takePatchBytes(ArchiveNode* data, const ArchiveNode* patchHead, const ArchiveNode* patchEntry) {
    // The bytes are now read from the patch archive, and recoded on the way
    // in when its layout differs from the data archive's.
    data->file = patchHead->file;
    data->version = patchHead->version;
    data->compressedSize = patchEntry->compressedSize;
    data->storedSize = patchEntry->storedSize;
    data->realSize = patchEntry->realSize;
    data->cycle = patchEntry->cycle;
    data->offset = patchEntry->offset;
}
