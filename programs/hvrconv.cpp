#include "jobs/convert_job.h"
#include "shell/console/console_shell.h"

int main(int argc, char** argv) {
    static const ProgramInfo PROGRAM = {
        "hvrconv", "HvrConv1.3", "Switches the archive data.hvr between its two table layouts (0x01xx and 0x02xx).",
        convertWorker};
    return runConsoleProgram(argc, argv, PROGRAM);
}
