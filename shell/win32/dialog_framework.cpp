#include "shell/win32/dialog_framework.h"

#include <commctrl.h>

#include <new>

WinApp* WinApp::current_ = nullptr;

WinApp::WinApp() { current_ = this; }

WinApp::~WinApp() { current_ = nullptr; }

void ProgressControl::setRange(uint16_t low, uint16_t high) {
    SendMessageW(hwnd_, PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void ProgressControl::setPosition(uint32_t position) { SendMessageW(hwnd_, PBM_SETPOS, position, 0); }

ModalDialog::ModalDialog(int templateId, HWND parent) : templateId_(templateId), parent_(parent) {}

ModalDialog::~ModalDialog() = default;

INT_PTR ModalDialog::doModal() {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), parent_, dialogProc,
                           reinterpret_cast<LPARAM>(this));
}

bool ModalDialog::onInitDialog() {
    doDataExchange();
    RECT window;
    RECT work;
    if (GetWindowRect(hwnd_, &window) && SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        const int width = window.right - window.left;
        const int height = window.bottom - window.top;
        SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - width) / 2,
                     work.top + (work.bottom - work.top - height) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return true;
}

void ModalDialog::endDialog(INT_PTR result) { EndDialog(hwnd_, result); }

void ModalDialog::bindControl(int id, Control& control) { control.attach(GetDlgItem(hwnd_, id)); }

INT_PTR CALLBACK ModalDialog::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    ModalDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<ModalDialog*>(lParam);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, LONG_PTR(self));
        return self->onInitDialog() ? TRUE : FALSE;
    }
    self = reinterpret_cast<ModalDialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return FALSE;
    switch (message) {
        case WM_COMMAND:
            // Enter gives IDOK, Escape and the close box give IDCANCEL.
            if (LOWORD(wParam) == IDOK) {
                self->onOk();
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                self->onCancel();
                return TRUE;
            }
            return FALSE;
        case WM_PAINT: return self->onPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            // A dialog procedure hands back a message's result this way.
            return INT_PTR(self->onQueryDragIcon());
        default: return FALSE;
    }
}

WorkerThread* WorkerThread::beginSuspended(Procedure procedure, void* parameter) {
    WorkerThread* thread = new (std::nothrow) WorkerThread(procedure, parameter);
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->handle_ = CreateThread(nullptr, 0, threadMain, thread, CREATE_SUSPENDED, nullptr);
    if (thread->handle_ == nullptr) {
        const DWORD error = GetLastError();
        delete thread;
        SetLastError(error);
        return nullptr;
    }
    return thread;
}

bool WorkerThread::resume() { return ResumeThread(handle_) != DWORD(-1); }

WorkerThread::~WorkerThread() {
    if (handle_ != nullptr) CloseHandle(handle_);
}

DWORD WINAPI WorkerThread::threadMain(LPVOID self) {
    WorkerThread* thread = static_cast<WorkerThread*>(self);
    const unsigned result = thread->procedure_(thread->parameter_);
    delete thread;
    return result;
}
