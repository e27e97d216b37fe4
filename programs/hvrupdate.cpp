#include "jobs/patch_job.h"
#include "shell/console/console_shell.h"

int main(int argc, char** argv) {
    static const ProgramInfo PROGRAM = {"hvrupdate", "HvrUpdate 1.5",
                                        "Applies the patch archive update.hvp to the archive data.hvr.", patchWorker};
    return runConsoleProgram(argc, argv, PROGRAM);
}
