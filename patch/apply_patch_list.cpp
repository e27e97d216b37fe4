#include <unordered_map>

#include "archive/format.h"
#include "patch/patch_job.h"

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
        if (found != index.end()) {
            const ArchiveNode* patch = found->second.last;
            // The entry keeps its name, directory flag and place; its bytes
            // are now the patch entry's, read from the patch archive.
            data->file = patchHead->file;
            data->version = patchHead->version;
            data->compressedSize = patch->compressedSize;
            data->storedSize = patch->storedSize;
            data->realSize = patch->realSize;
            data->cycle = patch->cycle;
            data->offset = patch->offset;
            count += found->second.count;
        }
        dataHead->storedSize += data->storedSize;
    }
    return count;
}

