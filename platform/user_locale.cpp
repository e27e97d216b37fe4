#include "platform/user_locale.h"

#include <cstring>

bool isJapaneseLocaleName(const char* name) {
    return name != nullptr && std::strcspn(name, "_.@") == 2 && std::strncmp(name, "ja", 2) == 0;
}
