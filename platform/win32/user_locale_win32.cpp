#include "platform/user_locale.h"

void adoptUserLocale() {}

std::string toUserCharset(const std::string& utf8) { return utf8; }
