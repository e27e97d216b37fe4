// Runs one of the built programs as a user would, for tests of its exit
// status and what it prints.
#pragma once

#include <string>
#include <vector>

struct Ran {
    int status = -1;  // -1 when it did not end by itself
    std::string out;
    std::string err;
};

// Runs `program` with `arguments` in `directory`, standard input from the
// null device, and collects both output streams. POSIX only.
Ran runProgram(const std::string& directory, const char* program, const std::vector<std::string>& arguments);
