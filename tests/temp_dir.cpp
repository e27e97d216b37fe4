#include "tests/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

ScopedTempDir::ScopedTempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / ("hvrtest-" + std::to_string(seed()) + "-" + std::to_string(counter++));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
    ADD_FAILURE() << "cannot create a temporary directory under " << base;
}

ScopedTempDir::~ScopedTempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    // Tests may leave files read-only; make them writable so they can go.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

std::string ScopedTempDir::file(const std::string& name) const { return (fs::path(path_) / name).string(); }

ScopedCurrentDir::ScopedCurrentDir(const std::string& path) : previous_(fs::current_path().string()) {
    fs::current_path(path);
}

ScopedCurrentDir::~ScopedCurrentDir() {
    std::error_code ec;
    fs::current_path(previous_, ec);
}

void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}
