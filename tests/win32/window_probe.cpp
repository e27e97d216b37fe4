// window_probe: looks at and drives the windows of another program that runs
// on the same Wine (or Windows) desktop. The end-to-end tests of the dialog
// programs use it to wait for the outcome box, read its text and the progress
// bar, poke the dialog with keys and close commands, and dismiss the box.
//
// Usage. A CAPTION is UTF-8 and must equal the window's caption exactly; only
// top-level windows of the dialog class "#32770" are looked at (dialogs and
// message boxes alike, owned or not).
//
//   window_probe wait TIMEOUT_MS CAPTION...   wait until a window with any of the
//                                             captions exists; print that caption
//   window_probe gone TIMEOUT_MS CAPTION      wait until no such window is left
//   window_probe exists CAPTION               succeed if such a window is there
//   window_probe text CAPTION                 print a message box's text (its static
//                                             control 0xFFFF), exactly, no newline added
//   window_probe owner CAPTION                print the caption of the window's owner
//   window_probe progress CAPTION             print "POS LOW HIGH" of progress control 1000
//   window_probe controls CAPTION             one line per child window:
//                                             "ID CLASS STYLE(hex) TEXT"
//   window_probe rect CAPTION                 print "X Y WIDTH HEIGHT" in screen pixels
//   window_probe key CAPTION KEY              post KEY to the window, one of
//                                               enter     WM_KEYDOWN/WM_KEYUP VK_RETURN
//                                               escape    WM_KEYDOWN/WM_KEYUP VK_ESCAPE
//                                               close     WM_SYSCOMMAND SC_CLOSE (the close box)
//                                               wm-close  WM_CLOSE
//                                               idok      WM_COMMAND IDOK
//                                               idcancel  WM_COMMAND IDCANCEL
//   window_probe ok CAPTION                   press the OK button of a message box
//   window_probe error-text CODE              print the system's text for a Win32 error
//                                             code, in the user's default language
//
// Exit status: 0 on success, 1 on a timeout or when the window is not there,
// 2 on a usage error or when a window does not answer.
//
// Output is written as raw UTF-8 bytes (no CR/LF translation), so that texts
// can be compared byte for byte by the calling script.

// windows.h first: commctrl.h builds on its types.
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const int EXIT_FOUND = 0;
const int EXIT_MISSING = 1;
const int EXIT_USAGE = 2;

const wchar_t DIALOG_CLASS[] = L"#32770";
const int MESSAGE_TEXT_ID = 0xFFFF;  // the static control that holds a box's text
const int PROGRESS_ID = 1000;
const DWORD POLL_MS = 50;
// A window of a hung program must not hang the probe as well.
const UINT SEND_TIMEOUT_MS = 5000;

void writeUtf8(const std::wstring& text) {
    if (text.empty()) return;
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    // WriteFile, not the C runtime: stdio in text mode would turn "\n" into "\r\n".
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD done = 0;
    const char* at = bytes.data();
    size_t left = bytes.size();
    while (left > 0 && WriteFile(out, at, static_cast<DWORD>(left), &done, nullptr) && done > 0) {
        at += done;
        left -= done;
    }
}

void writeLine(const std::wstring& text) { writeUtf8(text + L"\n"); }

void complain(const std::wstring& text) {
    std::wstring line = L"window_probe: " + text + L"\n";
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    int size =
        WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &bytes[0], size, nullptr, nullptr);
    DWORD done = 0;
    WriteFile(err, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
}

// The window's own caption. For a window of another process GetWindowTextW
// reads the stored text without sending a message, so it cannot block.
std::wstring captionOf(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 2, L'\0');
    int got = GetWindowTextW(window, buffer.data(), length + 2);
    return std::wstring(buffer.data(), static_cast<size_t>(got > 0 ? got : 0));
}

std::wstring classOf(HWND window) {
    wchar_t name[256] = {};
    int got = GetClassNameW(window, name, 256);
    return std::wstring(name, static_cast<size_t>(got > 0 ? got : 0));
}

// The text of a control of another process, through WM_GETTEXT with a
// timeout. Returns false when the window does not answer.
bool controlText(HWND control, std::wstring* text) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &length)) return false;
    std::vector<wchar_t> buffer(length + 2, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, length + 2, reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG,
                             SEND_TIMEOUT_MS, &got))
        return false;
    *text = std::wstring(buffer.data(), got);
    return true;
}

struct Search {
    const std::vector<std::wstring>* captions;
    HWND found;
    size_t which;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM context) {
    Search* search = reinterpret_cast<Search*>(context);
    if (classOf(window) != DIALOG_CLASS) return TRUE;
    std::wstring caption = captionOf(window);
    for (size_t i = 0; i < search->captions->size(); ++i) {
        if (caption == (*search->captions)[i]) {
            search->found = window;
            search->which = i;
            return FALSE;
        }
    }
    return TRUE;
}

// The first top-level dialog whose caption is one of the given ones, or null.
HWND findDialog(const std::vector<std::wstring>& captions, size_t* which = nullptr) {
    Search search = {&captions, nullptr, 0};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    if (which) *which = search.which;
    return search.found;
}

HWND findDialog(const std::wstring& caption) { return findDialog(std::vector<std::wstring>{caption}); }

// Parses a decimal or 0x-prefixed number; false when it is not one.
bool parseNumber(const wchar_t* text, unsigned long* value) {
    wchar_t* end = nullptr;
    *value = std::wcstoul(text, &end, 0);
    return end != text && *end == L'\0';
}

int usage() {
    complain(
        L"usage: window_probe wait TIMEOUT_MS CAPTION... | gone TIMEOUT_MS CAPTION | "
        L"exists CAPTION | text CAPTION | owner CAPTION | progress CAPTION | "
        L"controls CAPTION | rect CAPTION | key CAPTION enter|escape|close|wm-close|idok|idcancel | "
        L"ok CAPTION | error-text CODE");
    return EXIT_USAGE;
}

HWND requireDialog(const std::wstring& caption) {
    HWND window = findDialog(caption);
    if (!window) complain(L"no dialog with the caption \"" + caption + L"\"");
    return window;
}

int waitFor(const std::vector<std::wstring>& captions, DWORD timeout) {
    DWORD start = GetTickCount();
    for (;;) {
        size_t which = 0;
        if (findDialog(captions, &which)) {
            writeLine(captions[which]);
            return EXIT_FOUND;
        }
        if (GetTickCount() - start >= timeout) return EXIT_MISSING;
        Sleep(POLL_MS);
    }
}

int waitGone(const std::wstring& caption, DWORD timeout) {
    DWORD start = GetTickCount();
    for (;;) {
        if (!findDialog(caption)) return EXIT_FOUND;
        if (GetTickCount() - start >= timeout) return EXIT_MISSING;
        Sleep(POLL_MS);
    }
}

int printText(const std::wstring& caption) {
    HWND box = requireDialog(caption);
    if (!box) return EXIT_MISSING;
    HWND control = GetDlgItem(box, MESSAGE_TEXT_ID);
    if (!control) {
        complain(L"the window has no message text control");
        return EXIT_MISSING;
    }
    std::wstring text;
    if (!controlText(control, &text)) {
        complain(L"the message text control does not answer");
        return EXIT_USAGE;
    }
    writeUtf8(text);
    return EXIT_FOUND;
}

int printOwner(const std::wstring& caption) {
    HWND window = requireDialog(caption);
    if (!window) return EXIT_MISSING;
    HWND owner = GetWindow(window, GW_OWNER);
    if (!owner) {
        complain(L"the window has no owner");
        return EXIT_MISSING;
    }
    writeLine(captionOf(owner));
    return EXIT_FOUND;
}

int printProgress(const std::wstring& caption) {
    HWND dialog = requireDialog(caption);
    if (!dialog) return EXIT_MISSING;
    HWND bar = GetDlgItem(dialog, PROGRESS_ID);
    if (!bar || classOf(bar) != PROGRESS_CLASSW) {
        complain(L"the dialog has no progress control 1000");
        return EXIT_MISSING;
    }
    // PBM_GETRANGE with no PBRANGE returns one end: the low one for TRUE,
    // the high one for FALSE. A pointer could not cross to the other process.
    DWORD_PTR position = 0, low = 0, high = 0;
    if (!SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &position) ||
        !SendMessageTimeoutW(bar, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &low) ||
        !SendMessageTimeoutW(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &high)) {
        complain(L"the progress control does not answer");
        return EXIT_USAGE;
    }
    writeLine(std::to_wstring(static_cast<int>(position)) + L" " + std::to_wstring(static_cast<int>(low)) + L" " +
              std::to_wstring(static_cast<int>(high)));
    return EXIT_FOUND;
}

BOOL CALLBACK listChild(HWND child, LPARAM context) {
    HWND parent = reinterpret_cast<HWND>(context);
    // Only the dialog's own controls, not the parts of a control.
    if (GetParent(child) != parent) return TRUE;
    std::wstring text;
    if (!controlText(child, &text)) text = L"?";
    wchar_t style[16];
    swprintf(style, 16, L"0x%08lX", static_cast<unsigned long>(GetWindowLongW(child, GWL_STYLE)));
    writeLine(std::to_wstring(GetDlgCtrlID(child)) + L" " + classOf(child) + L" " + style + L" " + text);
    return TRUE;
}

int printControls(const std::wstring& caption) {
    HWND dialog = requireDialog(caption);
    if (!dialog) return EXIT_MISSING;
    EnumChildWindows(dialog, listChild, reinterpret_cast<LPARAM>(dialog));
    return EXIT_FOUND;
}

int printRect(const std::wstring& caption) {
    HWND window = requireDialog(caption);
    if (!window) return EXIT_MISSING;
    RECT rect;
    if (!GetWindowRect(window, &rect)) return EXIT_USAGE;
    writeLine(std::to_wstring(rect.left) + L" " + std::to_wstring(rect.top) + L" " +
              std::to_wstring(rect.right - rect.left) + L" " + std::to_wstring(rect.bottom - rect.top));
    return EXIT_FOUND;
}

// Posts a key press as the keyboard driver would queue it: the dialog's
// modal loop sees it in IsDialogMessage, which turns Enter into IDOK (or the
// default button) and Escape into IDCANCEL.
bool postKey(HWND window, WPARAM key, UINT scanCode) {
    LPARAM down = 1 | (static_cast<LPARAM>(scanCode) << 16);
    LPARAM up = down | (1L << 30) | (1L << 31);
    return PostMessageW(window, WM_KEYDOWN, key, down) && PostMessageW(window, WM_KEYUP, key, up);
}

int sendKey(const std::wstring& caption, const std::wstring& key) {
    HWND window = requireDialog(caption);
    if (!window) return EXIT_MISSING;
    bool posted = false;
    if (key == L"enter") {
        posted = postKey(window, VK_RETURN, 0x1C);
    } else if (key == L"escape") {
        posted = postKey(window, VK_ESCAPE, 0x01);
    } else if (key == L"close") {
        posted = PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (key == L"wm-close") {
        posted = PostMessageW(window, WM_CLOSE, 0, 0);
    } else if (key == L"idok") {
        posted = PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    } else if (key == L"idcancel") {
        posted = PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
        return usage();
    }
    if (!posted) {
        complain(L"posting to the window failed");
        return EXIT_USAGE;
    }
    return EXIT_FOUND;
}

// Presses OK the way a click does: the button's BN_CLICKED notification to
// the box, which ends the box with IDOK.
int pressOk(const std::wstring& caption) {
    HWND box = requireDialog(caption);
    if (!box) return EXIT_MISSING;
    HWND button = GetDlgItem(box, IDOK);
    if (!button || classOf(button) != L"Button") {
        complain(L"the window has no OK button");
        return EXIT_MISSING;
    }
    if (!PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(button))) {
        complain(L"posting to the window failed");
        return EXIT_USAGE;
    }
    return EXIT_FOUND;
}

int printErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || !text) {
        complain(L"the system has no text for this code");
        return EXIT_MISSING;
    }
    writeUtf8(std::wstring(text, length));
    LocalFree(text);
    return EXIT_FOUND;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return usage();
    std::wstring command = argv[1];
    if (command == L"wait" || command == L"gone") {
        unsigned long timeout = 0;
        if (argc < 4 || !parseNumber(argv[2], &timeout)) return usage();
        std::vector<std::wstring> captions;
        for (int i = 3; i < argc; ++i) captions.push_back(argv[i]);
        if (command == L"wait") return waitFor(captions, timeout);
        if (argc != 4) return usage();
        return waitGone(captions[0], timeout);
    }
    if (command == L"error-text") {
        unsigned long code = 0;
        if (argc != 3 || !parseNumber(argv[2], &code)) return usage();
        return printErrorText(code);
    }
    if (command == L"key") {
        if (argc != 4) return usage();
        return sendKey(argv[2], argv[3]);
    }
    if (argc != 3) return usage();
    std::wstring caption = argv[2];
    if (command == L"exists") {
        if (!findDialog(caption)) return EXIT_MISSING;
        writeLine(L"yes");
        return EXIT_FOUND;
    }
    if (command == L"text") return printText(caption);
    if (command == L"owner") return printOwner(caption);
    if (command == L"progress") return printProgress(caption);
    if (command == L"controls") return printControls(caption);
    if (command == L"rect") return printRect(caption);
    if (command == L"ok") return pressOk(caption);
    return usage();
}
