// Start-up guard for programs that open files by name.
#pragma once

// Opens the null device on every one of the standard input, output and error
// streams that is closed. A program started with one of them closed (by cron,
// a daemon, `>&-`) would otherwise get that descriptor number for the next
// file it opens, and whatever it printed would land in that file: in the
// archive itself. Call first thing in main, before any file is opened.
// False when a closed stream could not be covered; the program must then
// stop before it opens anything. Nothing to do where files are not numbered
// descriptors (Windows handles).
bool coverClosedStandardStreams();

// Flushes standard output. False, with the last error set, when anything
// written to it was lost (a full disk, a pipe closed early): a tool whose
// result is its output must not then end with success. Call last in main.
bool finishStandardOutput();

// For the tools: flushes standard output and returns `status`, except that a
// success whose output was lost becomes 1, with the cause on standard error
// under the name `program`.
int finishTool(const char* program, int status);
