// namesEqualIgnoringCase against the system's own case-blind compare,
// lstrcmpiA, on a system whose ANSI code page is 932: the comparison the
// rule stands in for. Windows build only; ctest runs it with a Japanese
// locale, which Wine takes its code page from.
//
// Every character of the code page is compared with its case variants (as
// the system maps case), with every other character our table gives the
// same key, and with every character whose sort key the system makes the
// same; then random names mixing ASCII, half-width katakana and double-byte
// characters, and sequences that do not decode. Every disagreement is
// printed, and the test fails on any that EXPLAINED does not account for.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/format.h"

namespace {

#include "archive/cp932_fold.inc"

constexpr UINT JAPANESE_CODE_PAGE = 932;

// Characters the system calls equal and we do not, and why we keep them
// apart. lstrcmpi compares with NORM_IGNORECASE only, so characters that
// differ in width or kana type, or are different marks, are not equal by
// its documentation; Wine's weights make these equal all the same.
struct Explained {
    const char* why;
    std::vector<std::string> members;
};

const Explained EXPLAINED[] = {
    {"kana iteration and prolonged sound marks (ｰ ヽ ヾ ゝ ゞ 々 ー ―): Wine weighs them alike alone and "
     "after a letter, and ヽ like ゝ after a kana; they differ in width or kana type, or are other marks",
     {"\xB0", "\x81\x52", "\x81\x53", "\x81\x54", "\x81\x55", "\x81\x58", "\x81\x5B", "\x81\x5C"}},
    {"half-width and full-width voiced sound mark (ﾞ ゛): they differ in width", {"\xDE", "\x81\x4A"}},
    {"half-width and full-width semi-voiced sound mark (ﾟ ゜): they differ in width", {"\xDF", "\x81\x4B"}},
};

// The system decodes bytes outside the code page to its default character
// U+30FB, so it takes any two such names, and '・', for equal. Ours compare
// byte for byte: two names that do not decode are never taken for one
// another.
const char* const UNDECODED_WHY = "bytes that do not decode (the system reads them as U+30FB '・')";

// One character of the code page: its bytes, what the system decodes them
// to, and our table's key.
struct Character {
    std::string bytes;
    wchar_t decoded;
    uint32_t key;
};

std::string hexOf(const std::string& bytes) {
    std::string out;
    char part[4];
    for (unsigned char c : bytes) {
        std::snprintf(part, sizeof part, "%02X", c);
        out += part;
    }
    return out;
}

std::string describe(const Character& c) {
    char text[32];
    std::snprintf(text, sizeof text, " (U+%04X)", unsigned(c.decoded));
    return hexOf(c.bytes) + text;
}

bool systemEqual(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

bool oursEqual(const std::string& a, const std::string& b) { return namesEqualIgnoringCase(a.c_str(), b.c_str()); }

// The system's reading of one character. Wine refuses 0xA0 and 0xFD-0xFF
// under MB_ERR_INVALID_CHARS but reads them as Windows does without it.
wchar_t systemDecode(const std::string& bytes) {
    wchar_t out[4];
    const int n = MultiByteToWideChar(JAPANESE_CODE_PAGE, 0, bytes.data(), int(bytes.size()), out, 4);
    return n == 1 ? out[0] : 0;
}

// Which EXPLAINED entry holds both characters, or null.
const Explained* explanationFor(const std::string& a, const std::string& b) {
    for (const Explained& e : EXPLAINED) {
        const auto begin = e.members.begin(), end = e.members.end();
        if (std::find(begin, end, a) != end && std::find(begin, end, b) != end) return &e;
    }
    return nullptr;
}

// Every character of the code page, by our table, and the classes the
// system and we put them in.
struct CodePage {
    std::vector<Character> all;
    std::map<uint32_t, std::vector<size_t>> byKey;
    std::map<std::string, std::vector<size_t>> bySortKey;
    std::vector<size_t> sortClassOf;  // per character, an index into sortClasses
    std::vector<std::vector<size_t>> sortClasses;
};

const CodePage& codePage() {
    static const CodePage page = [] {
        CodePage p;
        for (int b = 1; b < 256; ++b) {
            if (CP932_SINGLE_KEY[b] == 0) continue;
            const std::string bytes(1, char(b));
            p.all.push_back({bytes, systemDecode(bytes), CP932_SINGLE_KEY[b]});
        }
        for (int row = 0; row < 60; ++row) {
            const int lead = row < 31 ? 0x81 + row : 0xE0 + row - 31;
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                const uint16_t key = CP932_DOUBLE_KEY[row][trail - 0x40];
                if (key == 0) continue;
                const std::string bytes{char(lead), char(trail)};
                p.all.push_back({bytes, systemDecode(bytes), key});
            }
        }
        for (size_t i = 0; i < p.all.size(); ++i) {
            p.byKey[p.all[i].key].push_back(i);
            char sortKey[256];
            const int n = LCMapStringA(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, p.all[i].bytes.c_str(), -1,
                                       sortKey, sizeof sortKey);
            p.bySortKey[std::string(sortKey, size_t(std::max(n, 0)))].push_back(i);
        }
        p.sortClassOf.resize(p.all.size());
        for (const auto& group : p.bySortKey) {
            for (size_t i : group.second) p.sortClassOf[i] = p.sortClasses.size();
            p.sortClasses.push_back(group.second);
        }
        return p;
    }();
    return page;
}

class NameRuleAgainstSystem : public testing::Test {
protected:
    void SetUp() override {
        if (GetACP() != JAPANESE_CODE_PAGE) {
            GTEST_SKIP() << "the ANSI code page is " << GetACP()
                         << ", not 932: run under Wine with LC_ALL=ja_JP.UTF-8 (the glibc locale must exist)";
        }
    }
};

TEST_F(NameRuleAgainstSystem, EveryCharacterAgainstItsVariants) {
    const CodePage& page = codePage();
    std::map<wchar_t, std::vector<size_t>> byDecoded;
    int notDecoded = 0, ignorable = 0;
    for (size_t i = 0; i < page.all.size(); ++i) {
        const Character& c = page.all[i];
        if (c.decoded == 0 || (c.decoded == 0x30FB && c.bytes != "\x81\x45")) {
            ++notDecoded;
            std::printf("the system does not decode %s\n", hexOf(c.bytes).c_str());
            ADD_FAILURE() << "the system does not decode " << hexOf(c.bytes);
        }
        // A character the comparison skips would make names equal that
        // differ in it.
        if (systemEqual(c.bytes, "")) {
            ++ignorable;
            std::printf("the system ignores %s\n", describe(c).c_str());
        }
        byDecoded[c.decoded].push_back(i);
    }

    std::set<std::pair<size_t, size_t>> pairs;
    auto addPair = [&](size_t a, size_t b) {
        if (a != b) pairs.insert({std::min(a, b), std::max(a, b)});
    };
    for (size_t i = 0; i < page.all.size(); ++i) {
        const Character& c = page.all[i];
        for (DWORD flag : {LCMAP_UPPERCASE, LCMAP_LOWERCASE}) {
            wchar_t variant = 0;
            if (LCMapStringW(LOCALE_USER_DEFAULT, flag, &c.decoded, 1, &variant, 1) != 1) continue;
            const auto found = byDecoded.find(variant);
            if (found == byDecoded.end()) continue;
            for (size_t j : found->second) addPair(i, j);
        }
    }
    for (const auto& group : page.byKey)
        for (size_t a : group.second)
            for (size_t b : group.second) addPair(a, b);
    for (const auto& group : page.sortClasses)
        for (size_t a : group)
            for (size_t b : group) addPair(a, b);

    int explained = 0, unexplained = 0;
    for (const auto& pair : pairs) {
        const Character& a = page.all[pair.first];
        const Character& b = page.all[pair.second];
        const bool ours = oursEqual(a.bytes, b.bytes);
        const bool system = systemEqual(a.bytes, b.bytes);
        if (ours == system) continue;
        const Explained* why = ours ? nullptr : explanationFor(a.bytes, b.bytes);
        std::printf("%s %s %s: ours %s, the system's %s%s%s\n", why ? "explained" : "UNEXPLAINED", describe(a).c_str(),
                    describe(b).c_str(), ours ? "equal" : "different", system ? "equal" : "different", why ? "; " : "",
                    why ? why->why : "");
        ++(why ? explained : unexplained);
    }
    std::printf(
        "%zu characters (%d not decoded by the system, %d ignored by it); %zu pairs compared, "
        "%d disagreements explained, %d unexplained\n",
        page.all.size(), notDecoded, ignorable, pairs.size(), explained, unexplained);
    EXPECT_EQ(0, ignorable);
    EXPECT_EQ(0, unexplained);
}

// Names of up to 12 characters, each pair the same length in characters:
// most pairs are meant to be equal (each character swapped for another of
// its class, ours or the system's), the rest differ in one character.
TEST_F(NameRuleAgainstSystem, RandomNames) {
    const CodePage& page = codePage();
    std::vector<size_t> ascii, halfWidth, doubleByte;
    for (size_t i = 0; i < page.all.size(); ++i) {
        const unsigned char first = static_cast<unsigned char>(page.all[i].bytes[0]);
        if (page.all[i].bytes.size() == 2)
            doubleByte.push_back(i);
        else if (first >= 0xA1 && first <= 0xDF)
            halfWidth.push_back(i);
        else if (first >= 0x20 && first < 0x7F)
            ascii.push_back(i);
    }
    // Letters and kana next to each other are where a wrong rule shows:
    // a letter after a half-width katakana, a double-byte character whose
    // trail byte is a letter.
    std::mt19937 random(932);
    auto pick = [&](const std::vector<size_t>& from) { return from[random() % from.size()]; };
    auto pickCharacter = [&] {
        switch (random() % 3) {
            case 0: return pick(ascii);
            case 1: return pick(halfWidth);
            default: return pick(doubleByte);
        }
    };
    auto sameClass = [&](size_t i) {
        const std::vector<size_t>& ours = page.byKey.at(page.all[i].key);
        const std::vector<size_t>& system = page.sortClasses[page.sortClassOf[i]];
        return random() % 2 ? pick(ours) : pick(system);
    };

    const int NAMES = 4000;
    int equalBySystem = 0, explained = 0, unexplained = 0;
    for (int n = 0; n < NAMES; ++n) {
        const size_t length = 1 + random() % 12;
        std::vector<size_t> a, b;
        for (size_t k = 0; k < length; ++k) {
            a.push_back(pickCharacter());
            b.push_back(sameClass(a.back()));
        }
        if (n % 5 == 0) b[random() % length] = pickCharacter();
        std::string nameA, nameB;
        for (size_t i : a) nameA += page.all[i].bytes;
        for (size_t i : b) nameB += page.all[i].bytes;

        const bool ours = oursEqual(nameA, nameB);
        const bool system = systemEqual(nameA, nameB);
        equalBySystem += system;
        if (ours == system) continue;
        // Explained when we say different and every character where the
        // names differ for us is a pair EXPLAINED accounts for.
        const Explained* why = nullptr;
        bool allExplained = !ours;
        for (size_t k = 0; k < length && allExplained; ++k) {
            if (page.all[a[k]].key == page.all[b[k]].key) continue;
            why = explanationFor(page.all[a[k]].bytes, page.all[b[k]].bytes);
            allExplained = why != nullptr;
        }
        allExplained = allExplained && why != nullptr;
        std::printf("%s %s %s: ours %s, the system's %s%s%s\n", allExplained ? "explained" : "UNEXPLAINED",
                    hexOf(nameA).c_str(), hexOf(nameB).c_str(), ours ? "equal" : "different",
                    system ? "equal" : "different", allExplained ? "; " : "", allExplained ? why->why : "");
        ++(allExplained ? explained : unexplained);
    }
    std::printf("%d random name pairs (%d equal by the system); %d disagreements explained, %d unexplained\n", NAMES,
                equalBySystem, explained, unexplained);
    EXPECT_EQ(0, unexplained);
}

struct UndecodedCase {
    const char* a;
    const char* b;
};

// Names with bytes that do not decode, against each other and against
// characters. The system takes many of them for equal where we do not; it
// must never tell apart what we call equal.
const UndecodedCase UNDECODED_CASES[] = {
    {"\x81", "\x82"},  // lone lead bytes
    {"a\x81", "a\x82"},
    {"\x81", "\x81\x45"},      // a lone lead byte against '・'
    {"\x85\x40", "\x85\x41"},  // unassigned pairs
    {"\x85\x40", "\x81\x45"},
    {"\x85\x41", "\x85\x61"},  // ... whose trail bytes are letters
    {"\xEB\x40", "\xEC\x40"},
    {"\x81 A", "\x82 a"},  // a lead byte before an invalid trail byte
    {"\x81 A", "\x81 a"},
    {"\x81 A", "\x81 B"},
    {"\x85\x41"
     "A",
     "\x85\x41"
     "a"},
    {"\x85\x41"
     "A",
     "\x85\x41"
     "B"},
    {"\x85\x40", "\x85"},  // a pair against its lead byte
    {"\x81", "\x81\x81"},  // a lone lead byte against the character it would start
    {"a\x81", "a"},        // a lone lead byte is not dropped
};

TEST_F(NameRuleAgainstSystem, NamesThatDoNotDecode) {
    int explained = 0, unexplained = 0;
    for (const UndecodedCase& c : UNDECODED_CASES) {
        const bool ours = oursEqual(c.a, c.b);
        const bool system = systemEqual(c.a, c.b);
        if (ours == system) continue;
        // Only the system's "equal" has the explanation: we never call
        // names equal that it tells apart.
        const bool isExplained = !ours;
        std::printf("%s %s %s: ours %s, the system's %s%s%s\n", isExplained ? "explained" : "UNEXPLAINED",
                    hexOf(c.a).c_str(), hexOf(c.b).c_str(), ours ? "equal" : "different",
                    system ? "equal" : "different", isExplained ? "; " : "", isExplained ? UNDECODED_WHY : "");
        ++(isExplained ? explained : unexplained);
    }
    std::printf("%zu names that do not decode; %d disagreements explained, %d unexplained\n",
                std::size(UNDECODED_CASES), explained, unexplained);
    EXPECT_EQ(0, unexplained);
}

}  // namespace
