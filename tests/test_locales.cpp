#include "tests/test_locales.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/temp_dir.h"

namespace {

struct GeneratedLocale {
    const char* source;   // under /usr/share/i18n/locales
    const char* charmap;  // under /usr/share/i18n/charmaps
    // The directory's name: glibc looks a locale up under its name with the
    // character set normalised (lower case, letters and digits only).
    const char* directory;
};

const GeneratedLocale LOCALES[] = {
    {"ja_JP", "UTF-8", "ja_JP.utf8"},
    {"ja_JP", "EUC-JP", "ja_JP.eucjp"},
    {"ja_JP", "SHIFT_JIS", "ja_JP.sjis"},
};

}  // namespace

const std::string& testLocalePath() {
    static ScopedTempDir directory;
    static bool made = false;
    if (!made) {
        made = true;
        for (const GeneratedLocale& locale : LOCALES) {
            const std::string log = directory.file(std::string(locale.directory) + ".log");
            const std::string command = std::string("localedef --no-warnings=ascii -i ") + locale.source + " -f " +
                                        locale.charmap + " '" + directory.file(locale.directory) + "' >'" + log +
                                        "' 2>&1";
            const int status = std::system(command.c_str());
            if (status != 0) {
                std::ifstream output(log);
                std::ostringstream text;
                text << output.rdbuf();
                ADD_FAILURE() << command << " failed (" << status << "); the locales package provides "
                              << "its sources:\n"
                              << text.str();
            }
            std::filesystem::remove(log);
        }
    }
    return directory.path();
}
