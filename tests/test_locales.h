// Japanese locales for tests, generated with localedef into a private
// directory that LOCPATH names: a test machine has only the locales its
// owner chose to install, often none but C and C.UTF-8.
#pragma once

#include <string>

// The directory, made on the first call in a process and removed at its
// exit. It holds ja_JP.UTF-8, ja_JP.eucJP (also reached as ja_JP.EUC-JP)
// and ja_JP.SJIS (Shift_JIS, which glibc
// accepts with a warning that the set is not ASCII-compatible: 0x5C and 0x7E
// are the yen sign and the overline there). Fails the calling test when
// localedef does not produce them.
const std::string& testLocalePath();
