// A private directory per test, removed with everything in it at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ScopedTempDir {
public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return path_; }
    // The full name of `name` inside the directory.
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

// Makes a directory the current one for a scope. The programs work on fixed,
// relative file names, so a test enters its private directory.
class ScopedCurrentDir {
public:
    explicit ScopedCurrentDir(const std::string& path);
    ~ScopedCurrentDir();
    ScopedCurrentDir(const ScopedCurrentDir&) = delete;
    ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

private:
    std::string previous_;
};

// Whole-file helpers for fixtures; they fail the current test on error.
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readFileBytes(const std::string& path);
bool fileExists(const std::string& path);
