#include "shell/win32/tool_app.h"

#include <commctrl.h>

#include "platform/file_ops.h"
#include "shell/win32/resource_ids.h"

std::atomic<JobDialog*> activeDialog{nullptr};

namespace {

UINT boxStyle(MessageStyle style) { return MB_OK | (style == MessageStyle::error ? MB_ICONERROR : MB_ICONINFORMATION); }

// The texts are Japanese: the wide functions show them on any Windows,
// whatever its code page.
void messageBox(HWND owner, const std::string& text, const std::string& caption, MessageStyle style) {
    MessageBoxW(owner, widen(text).c_str(), widen(caption).c_str(), boxStyle(style));
}

}  // namespace

void showMessageWithoutOwner(const std::string& text, const std::string& caption, MessageStyle style) {
    messageBox(nullptr, text, caption, style);
}

bool jobTextsInJapanese() { return true; }

ProgressDialog::ProgressDialog(WorkerProc worker, HWND parent)
    : ModalDialog(IDD_PROGRESS_DIALOG, parent),
      worker_(worker),
      icon_(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TOOL_ICON))) {}

void ProgressDialog::doDataExchange() { bindControl(IDC_PROGRESS, progressBar_); }

bool ProgressDialog::onInitDialog() {
    ModalDialog::onInitDialog();
    SendMessageW(hwnd(), WM_SETICON, ICON_BIG, LPARAM(icon_));
    SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, LPARAM(icon_));
    progressBar_.setRange(0, 100);
    progressBar_.setPosition(0);
    activeDialog.store(this);
    WorkerThread* thread = WorkerThread::beginSuspended(worker_, nullptr);
    if (thread == nullptr || !thread->resume()) {
        // No job will ever clear activeDialog or post OK: the dialog reports
        // the failure itself and closes.
        showMessage(errorText(getLastError()), "エラー", MessageStyle::error);
        activeDialog.store(nullptr);
        postOk();
    }
    return true;
}

void ProgressDialog::onOk() {
    // While a job runs, only its own posted OK (after it cleared
    // activeDialog) may close the dialog; Enter does nothing.
    if (activeDialog.load() == nullptr) ModalDialog::onOk();
}

void ProgressDialog::onCancel() {
    // Escape and the close box never close the dialog: the job must finish.
}

bool ProgressDialog::onPaint() {
    if (!IsIconic(hwnd())) return false;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd(), &paint);
    SendMessageW(hwnd(), WM_ICONERASEBKGND, WPARAM(dc), 0);
    const int iconWidth = GetSystemMetrics(SM_CXICON);
    const int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(hwnd(), &client);
    const int x = (client.right - client.left - iconWidth + 1) / 2;
    const int y = (client.bottom - client.top - iconHeight + 1) / 2;
    DrawIcon(dc, x, y, icon_);
    EndPaint(hwnd(), &paint);
    return true;
}

HCURSOR ProgressDialog::onQueryDragIcon() { return HCURSOR(icon_); }

void ProgressDialog::setProgress(uint32_t position) {
    // Synchronous across threads: returns once the dialog's thread set it.
    SendMessageW(progressBar_.hwnd(), PBM_SETPOS, position, 0);
}

void ProgressDialog::showMessage(const std::string& text, const std::string& caption, MessageStyle style) {
    messageBox(hwnd(), text, caption, style);
}

void ProgressDialog::postOk() { PostMessageW(hwnd(), WM_COMMAND, IDOK, 0); }

bool ToolApp::initInstance() {
    // The smooth progress bar is a common control.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    ProgressDialog dialog(worker_, nullptr);
    dialog.doModal();
    return false;
}

int runApplication() {
    WinApp* app = WinApp::current();
    if (app != nullptr) app->initInstance();
    return 0;
}
