// The dialog shell on a terminal: the same life cycle and threading as the
// Windows dialog, with the progress bar drawn on stderr and message boxes
// printed in the language and character set of the user's locale.
#pragma once

#include "shell/shell.h"

struct ProgramInfo {
    const char* name;     // the command's name, e.g. "hvrupdate"
    const char* title;    // the dialog's caption, e.g. "HvrUpdate 1.5"
    const char* summary;  // one line on what it does
    WorkerProc worker;
};

// The whole program: answers --help and --version, refuses any other
// argument with exit status 2 before touching a file, enters the directory
// of -C DIR (--directory=DIR) with an error box and exit status 1 when it
// cannot, else runs the dialog with the worker. Exit status 0 when the
// outcome box was an information box, 1 when it was an error box.
int runConsoleProgram(int argc, char** argv, const ProgramInfo& program);
