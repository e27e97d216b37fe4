#include "tests/run_program.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

#include "tests/temp_dir.h"

Ran runProgram(const std::string& directory, const char* program, const std::vector<std::string>& arguments) {
    Ran ran;
    const std::string outPath = directory + "/.out";
    const std::string errPath = directory + "/.err";
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(directory.c_str()) != 0)
            _exit(126);
        std::vector<char*> argv = {const_cast<char*>(program)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::vector<uint8_t> out = readFileBytes(outPath);
    const std::vector<uint8_t> err = readFileBytes(errPath);
    ran.out.assign(out.begin(), out.end());
    ran.err.assign(err.begin(), err.end());
    std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return ran;
}
