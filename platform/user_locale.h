// The user's locale as the console programs see it: the language their texts
// are in and the character set a terminal shows them in. The programs keep
// their texts in UTF-8 and convert them only as they are printed.
#pragma once

#include <string>

// Adopts the locale the environment names (LC_ALL, else each category's
// LC_ variable, else LANG), as a POSIX program does at start-up. When any of
// them names a locale that is not installed, the C library keeps its default
// ("C": English in ASCII). It reads the locale's files, so it comes after
// coverClosedStandardStreams. Nothing on Windows, whose programs take the
// language from the user's settings.
void adoptUserLocale();

// Whether a locale name as setlocale reports it ("ja_JP.UTF-8", "C") is a
// Japanese one: its language part, up to the first '_', '.' or '@', is "ja".
bool isJapaneseLocaleName(const char* name);

// `utf8` in the character set of the user's locale. A character that set
// cannot show becomes '?', so that a reader sees where something is missing.
// Unchanged on Windows, whose programs hand UTF-8 to the wide functions.
std::string toUserCharset(const std::string& utf8);
