// A small dialog framework on the Win32 dialog manager: an application
// object that runs one modal dialog, dialogs built from template resources
// with control binding and virtual hooks, a progress-control wrapper and a
// worker thread that starts suspended and deletes itself when it ends.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/win32/utf16.h"

class ModalDialog;

// The application: the program's one global instance runs initInstance,
// which shows its dialog and returns false, so no message loop follows.
class WinApp {
public:
    WinApp();
    virtual ~WinApp();
    WinApp(const WinApp&) = delete;
    WinApp& operator=(const WinApp&) = delete;

    virtual bool initInstance() = 0;
    static WinApp* current() { return current_; }

private:
    static WinApp* current_;
};

// A child control of a dialog, bound to its id by the dialog's data exchange.
class Control {
public:
    HWND hwnd() const { return hwnd_; }
    void attach(HWND hwnd) { hwnd_ = hwnd; }

protected:
    HWND hwnd_ = nullptr;
};

class ProgressControl : public Control {
public:
    void setRange(uint16_t low, uint16_t high);  // PBM_SETRANGE
    void setPosition(uint32_t position);         // PBM_SETPOS
};

// A modal dialog built from a dialog template resource. The handlers run on
// the thread that called doModal.
class ModalDialog {
public:
    ModalDialog(int templateId, HWND parent);
    virtual ~ModalDialog();
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    // Runs the dialog until endDialog; returns its result (-1 when the
    // template cannot be loaded, with the last error set).
    INT_PTR doModal();
    HWND hwnd() const { return hwnd_; }

protected:
    // Binds controls to their ids; called by the base onInitDialog.
    virtual void doDataExchange() {}
    // The base binds the controls and centres the dialog on the screen (the
    // templates carry position 0, 0 and no centring style). True: the dialog
    // manager sets the focus.
    virtual bool onInitDialog();
    virtual void onOk() { endDialog(IDOK); }
    virtual void onCancel() { endDialog(IDCANCEL); }
    // False lets the dialog manager paint as it would by default.
    virtual bool onPaint() { return false; }
    // The cursor shown while the minimised dialog is dragged, or null for the
    // default.
    virtual HCURSOR onQueryDragIcon() { return nullptr; }

    void endDialog(INT_PTR result);
    void bindControl(int id, Control& control);

private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    int templateId_;
    HWND parent_;
    HWND hwnd_ = nullptr;
};

// A worker thread: created suspended, started with resume(), and deleted by
// itself when its procedure returns. Nobody waits for it.
class WorkerThread {
public:
    using Procedure = unsigned (*)(void* parameter);

    // Null, with the last error set, when the thread cannot be created.
    static WorkerThread* beginSuspended(Procedure procedure, void* parameter);
    bool resume();

private:
    WorkerThread(Procedure procedure, void* parameter) : procedure_(procedure), parameter_(parameter) {}
    ~WorkerThread();
    static DWORD WINAPI threadMain(LPVOID self);

    Procedure procedure_;
    void* parameter_;
    HANDLE handle_ = nullptr;
};
