#include "platform/user_locale.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>

namespace {

// Converts [*in, *in + *left) and appends the result to `out`. Stops, with
// false, at a character the target set lacks or at bytes that are not UTF-8;
// *in then points at them. A null *in puts the converter back in its initial
// shift state, writing what a stateful set needs for that.
bool convertSome(iconv_t converter, char** in, size_t* left, std::string* out) {
    char buffer[512];
    for (;;) {
        char* next = buffer;
        size_t room = sizeof buffer;
        const size_t result = ::iconv(converter, in, left, &next, &room);
        out->append(buffer, size_t(next - buffer));
        if (result != size_t(-1)) return true;
        if (errno != E2BIG) return false;
    }
}

// The length of the UTF-8 character at `text` as far as its bytes are well
// formed: a broken sequence is skipped alone, not with what follows it.
size_t characterLength(const uint8_t* text, size_t left) {
    const uint8_t lead = text[0];
    const size_t expected = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
    size_t length = 1;
    while (length < expected && length < left && (text[length] & 0xC0) == 0x80) ++length;
    return length;
}

// Without a converter for the set (no gconv modules), ASCII is what every
// locale's set still agrees on.
std::string asciiOnly(const std::string& utf8) {
    std::string out;
    const uint8_t* text = reinterpret_cast<const uint8_t*>(utf8.data());
    for (size_t i = 0; i < utf8.size();) {
        if (text[i] < 0x80) {
            out += char(text[i]);
            ++i;
        } else {
            out += '?';
            i += characterLength(text + i, utf8.size() - i);
        }
    }
    return out;
}

}  // namespace

void adoptUserLocale() { std::setlocale(LC_ALL, ""); }

std::string toUserCharset(const std::string& utf8) {
    const char* codeset = ::nl_langinfo(CODESET);
    if (std::strcmp(codeset, "UTF-8") == 0) return utf8;
    const iconv_t converter = ::iconv_open(codeset, "UTF-8");
    if (converter == iconv_t(-1)) return asciiOnly(utf8);
    std::string out;
    char* in = const_cast<char*>(utf8.data());
    size_t left = utf8.size();
    while (!convertSome(converter, &in, &left, &out)) {
        const size_t skipped = characterLength(reinterpret_cast<const uint8_t*>(in), left);
        in += skipped;
        left -= skipped;
        // The mark goes through the converter too: a stateful set may need
        // to shift back before it.
        char mark[] = "?";
        char* markIn = mark;
        size_t markLeft = 1;
        convertSome(converter, &markIn, &markLeft, &out);
    }
    char* end = nullptr;
    size_t none = 0;
    convertSome(converter, &end, &none, &out);
    ::iconv_close(converter);
    return out;
}
