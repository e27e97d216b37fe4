// What a job may ask of the dialog that runs it. The job runs on its own
// worker thread; the dialog lives on the user-interface thread. Each
// platform's shell (shell/win32, shell/console) provides the dialog.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

enum class MessageStyle { information, error };

// A running progress dialog as a worker sees it.
class JobDialog {
public:
    // Moves the progress bar (0 to 100); returns once the user-interface
    // thread has done it.
    virtual void setProgress(uint32_t position) = 0;

    // Shows a message box with one OK button, owned by the dialog, and
    // returns when the user has closed it. Texts are UTF-8.
    virtual void showMessage(const std::string& text, const std::string& caption, MessageStyle style) = 0;

    // Posts the OK command to the dialog and returns without waiting. The
    // dialog closes on it once activeDialog has been cleared.
    virtual void postOk() = 0;

protected:
    ~JobDialog() = default;
};

// The dialog that runs a job, or null while none does. Set by the dialog as
// it opens, before the worker starts; cleared by the worker as its last step
// before it posts the OK command. While it is set the dialog ignores OK.
extern std::atomic<JobDialog*> activeDialog;

// A message box with no owner, for a job that runs with no dialog.
void showMessageWithoutOwner(const std::string& text, const std::string& caption, MessageStyle style);

// Whether the jobs word their own messages and captions in Japanese. The
// Windows programs always have, whatever the user's language, and keep
// doing so; a console program speaks the language of the user's locale.
// The system's error texts follow the user's language either way.
bool jobTextsInJapanese();

// The procedure a dialog starts on its worker thread.
using WorkerProc = unsigned (*)(void* parameter);
