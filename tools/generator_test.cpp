#include "tools/generator.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include "archive/reader.h"
#include "tests/temp_dir.h"

namespace {

struct Counts {
    uint32_t files = 0;
    uint32_t directories = 0;
};

Counts countEntries(const std::string& path) {
    Counts counts;
    ArchivePtr head(openArchive(path.c_str()));
    EXPECT_TRUE(head) << path << ": error " << getLastError();
    if (!head) return counts;
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        ++(e->isDirectory ? counts.directories : counts.files);
    }
    return counts;
}

bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

// Benchmarks hold the patch fixed while the archive grows: an exact count
// must give exactly that many replacements, or every file when the archive
// has fewer. Zero is a count too (a patch that matches nothing), not the
// default share.
TEST(Generator, ReplaceCountGivesExactlyThatManyFiles) {
    struct CountCase {
        uint32_t entries;
        uint32_t replaceCount;
    };
    const CountCase CASES[] = {{1000, 37}, {1000, 1}, {50, 5000}, {1000, 0}};
    for (const CountCase& c : CASES) {
        SCOPED_TRACE(testing::Message() << c.replaceCount << " of " << c.entries);
        ScopedTempDir dir;
        ArchiveSpec archive;
        archive.entries = c.entries;
        archive.contentBytes = 1 << 20;
        PatchSpec patch;
        patch.replaceCount = c.replaceCount;
        patch.onlyInPatch = 0;
        patch.duplicates = 0;
        patch.directories = 0;
        ASSERT_TRUE(generateArchive(dir.file("data.hvr"), archive));
        ASSERT_TRUE(generatePatch(dir.file("update.hvp"), archive, patch));
        const Counts data = countEntries(dir.file("data.hvr"));
        const Counts replaced = countEntries(dir.file("update.hvp"));
        EXPECT_EQ(std::min(c.replaceCount, data.files), replaced.files);
        EXPECT_EQ(0u, replaced.directories);
    }
}

// Offsets are 32 bits wide: content past 4 GiB is refused before any file
// is written, not written with a table at a wrapped offset.
TEST(Generator, RefusesADataAreaPast4GiB) {
    ScopedTempDir dir;
    ArchiveSpec archive;
    archive.entries = 100;
    archive.contentBytes = uint64_t(5) << 30;
    EXPECT_FALSE(generateArchive(dir.file("data.hvr"), archive));
    EXPECT_EQ(ERROR_FILE_TOO_LARGE, getLastError());
    EXPECT_FALSE(exists(dir.file("data.hvr")));
}
