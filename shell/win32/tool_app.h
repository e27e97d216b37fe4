// The application object and the progress dialog of both Windows programs.
// They differ only in the worker procedure and their resources.
#pragma once

#include "shell/shell.h"
#include "shell/win32/dialog_framework.h"

class ProgressDialog final : public ModalDialog, public JobDialog {
public:
    ProgressDialog(WorkerProc worker, HWND parent);

    void setProgress(uint32_t position) override;
    void showMessage(const std::string& text, const std::string& caption, MessageStyle style) override;
    void postOk() override;

protected:
    void doDataExchange() override;
    bool onInitDialog() override;
    void onOk() override;
    void onCancel() override;
    bool onPaint() override;
    HCURSOR onQueryDragIcon() override;

private:
    WorkerProc worker_;
    ProgressControl progressBar_;
    HICON icon_;
};

class ToolApp final : public WinApp {
public:
    explicit ToolApp(WorkerProc worker) : worker_(worker) {}
    bool initInstance() override;

private:
    WorkerProc worker_;
};

// The program's entry: runs the global application object's initInstance.
int runApplication();
