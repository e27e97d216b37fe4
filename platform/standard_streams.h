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
