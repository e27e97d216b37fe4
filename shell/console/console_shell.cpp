#include "shell/console/console_shell.h"

#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/file_ops.h"
#include "platform/standard_streams.h"
#include "platform/user_locale.h"

std::atomic<JobDialog*> activeDialog{nullptr};

namespace {

constexpr uint32_t IDOK = 1;

// The window system's message queue, cut down to what the dialog needs: a
// synchronous send (the sender waits until the user-interface thread has
// handled the message) and an asynchronous post.
struct Message {
    enum Kind { setPosition, command } kind;
    uint32_t value;
    bool handled = false;  // for a sent message: set by the receiving thread
};

class MessageQueue {
public:
    void send(Message* message) {
        std::unique_lock<std::mutex> lock(mutex_);
        queue_.push_back(message);
        arrived_.notify_one();
        handled_.wait(lock, [message] { return message->handled; });
    }

    // The queue copies a posted message. It is notified under the lock, so
    // the poster touches nothing of the queue once the receiver can see it.
    void post(const Message& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(message);
        queue_.push_back(&posted_.back());
        arrived_.notify_one();
    }

    // Waits for the next message and hands it to `handle` on this thread.
    template <typename Handler>
    void dispatchOne(Handler handle) {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait(lock, [this] { return !queue_.empty(); });
        Message* message = queue_.front();
        queue_.pop_front();
        lock.unlock();
        handle(*message);
        lock.lock();
        message->handled = true;
        handled_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::condition_variable handled_;
    std::deque<Message*> queue_;
    std::deque<Message> posted_;
};

// Texts are UTF-8 up to here; the terminal reads the locale's set.
void printText(const std::string& utf8, FILE* out) { std::fputs(toUserCharset(utf8).c_str(), out); }

// A message box whose texts are in the locale's set already.
void printBox(const std::string& text, const std::string& caption, FILE* out) {
    std::fprintf(out, "[%s]\n%s\n", caption.c_str(), text.c_str());
    std::fflush(out);
    // The OK button: a user at a terminal reads the message and presses
    // Enter; without a terminal there is nobody to wait for.
    if (isatty(STDIN_FILENO)) {
        std::fputs("(Enter)", out);
        std::fflush(out);
        int c;
        do {
            c = std::getchar();
        } while (c != '\n' && c != EOF);
    }
}

void printMessage(const std::string& text, const std::string& caption, MessageStyle style) {
    printBox(toUserCharset(text), toUserCharset(caption), style == MessageStyle::error ? stderr : stdout);
}

// The shell's own error boxes, worded like the jobs'.
const char* shellErrorCaption() { return jobTextsInJapanese() ? "エラー" : "Error"; }

// The progress bar: one line on stderr, redrawn in place, drawn only when
// stderr is a terminal.
class ProgressLine {
public:
    ProgressLine() : enabled_(isatty(STDERR_FILENO) != 0) {}

    void setPosition(uint32_t position) {
        // As a progress control does, the position is kept within its
        // range, which the dialog sets to 0 to 100.
        if (position > 100) position = 100;
        if (!enabled_ || (drawn_ && position == position_)) return;
        position_ = position;
        const uint32_t width = 40;
        const uint32_t filled = position * width / 100;
        char line[width + 1];
        std::memset(line, '#', filled);
        std::memset(line + filled, '.', width - filled);
        line[width] = '\0';
        std::fprintf(stderr, "\r[%s] %3u%%", line, position);
        std::fflush(stderr);
        drawn_ = true;
    }

    // Ends the line so that what is printed next starts on its own.
    void finish() {
        if (!drawn_) return;
        std::fputc('\n', stderr);
        std::fflush(stderr);
        drawn_ = false;
    }

private:
    bool enabled_;
    bool drawn_ = false;
    uint32_t position_ = 0;
};

class ProgressDialog final : public JobDialog {
public:
    explicit ProgressDialog(WorkerProc worker) : worker_(worker) {}

    // Runs the dialog until it is closed; the worker ends it by posting OK.
    void doModal() {
        onInitDialog();
        while (!ended_) {
            queue_.dispatchOne([this](Message& message) {
                if (message.kind == Message::setPosition) {
                    progress_.setPosition(message.value);
                } else if (message.value == IDOK) {
                    onOk();
                }
            });
        }
        progress_.finish();
    }

    // Whether the outcome box (the last box shown) was an error box.
    bool endedInError() const { return !sawBox_ || lastStyle_ == MessageStyle::error; }

    void setProgress(uint32_t position) override {
        Message message{Message::setPosition, position};
        queue_.send(&message);
    }

    void showMessage(const std::string& text, const std::string& caption, MessageStyle style) override {
        // Runs on the worker; the bar is only drawn while the worker waits in
        // setProgress, so the two never write at the same time.
        progress_.finish();
        sawBox_ = true;
        lastStyle_ = style;
        printMessage(text, caption, style);
    }

    void postOk() override { queue_.post(Message{Message::command, IDOK}); }

private:
    void onInitDialog() {
        progress_.setPosition(0);
        activeDialog.store(this);
        try {
            std::thread(worker_, nullptr).detach();
        } catch (const std::system_error&) {
            // No job will ever clear activeDialog or post OK: the dialog
            // reports the failure itself and closes.
            showMessage(errorText(ERROR_NOT_ENOUGH_MEMORY), shellErrorCaption(), MessageStyle::error);
            activeDialog.store(nullptr);
            postOk();
        }
    }

    void onOk() {
        if (activeDialog.load() == nullptr) ended_ = true;
    }

    WorkerProc worker_;
    MessageQueue queue_;
    ProgressLine progress_;
    bool ended_ = false;
    bool sawBox_ = false;
    MessageStyle lastStyle_ = MessageStyle::error;
};

int usage(const ProgramInfo& program, FILE* out, int status) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "usage: %s [-C DIR] [--help | --version]\n"
                  "%s\n"
                  "It works on the files of the current directory, or of DIR:\n"
                  "  -C DIR, --directory=DIR  work in DIR as if started there\n"
                  "  --help                   print this help and exit\n"
                  "  --version                print the version and exit\n"
                  "Messages follow the locale (LC_ALL, LC_MESSAGES, LANG); see %s(1).\n",
                  program.name, program.summary, program.name);
    printText(text, out);
    return status;
}

}  // namespace

void showMessageWithoutOwner(const std::string& text, const std::string& caption, MessageStyle style) {
    printMessage(text, caption, style);
}

bool jobTextsInJapanese() { return userPrefersJapanese(); }

int runConsoleProgram(int argc, char** argv, const ProgramInfo& program) {
    // Nothing can be said when this fails, and nothing has been touched.
    if (!coverClosedStandardStreams()) return 1;
    adoptUserLocale();
    // The whole line is read before anything is done, so that a mistake
    // anywhere in it leaves every file alone.
    bool help = false;
    bool version = false;
    std::vector<const char*> directories;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--help") == 0) {
            help = true;
        } else if (std::strcmp(argument, "--version") == 0) {
            version = true;
        } else if (std::strcmp(argument, "-C") == 0 || std::strcmp(argument, "--directory") == 0) {
            if (i + 1 == argc) {
                std::fprintf(stderr, "%s: %s needs a directory\n", program.name, argument);
                return usage(program, stderr, 2);
            }
            directories.push_back(argv[++i]);
        } else if (std::strncmp(argument, "--directory=", 12) == 0) {
            directories.push_back(argument + 12);
        } else if (std::strncmp(argument, "-C", 2) == 0) {
            directories.push_back(argument + 2);  // -CDIR, as getopt reads it
        } else {
            std::fprintf(stderr, "%s: unexpected argument: %s\n", program.name, argument);
            return usage(program, stderr, 2);
        }
    }
    if (help) return usage(program, stdout, 0);
    if (version) {
        std::printf("%s\n", program.title);
        return 0;
    }
    // Each directory is taken from the one before, as make -C and git -C do.
    for (const char* directory : directories) {
        if (!enterDirectory(directory)) {
            // The name stays in the bytes the user typed; only our texts are
            // converted.
            const std::string text = directory + toUserCharset(": " + errorText(getLastError()));
            printBox(text, toUserCharset(shellErrorCaption()), stderr);
            return 1;
        }
    }
    // Ctrl-C is the cancel command, which the dialog never obeys: a commit
    // stopped halfway could leave the archive unreadable. A closed output
    // must not end the job either.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // Past a file-size limit a write must fail with an error the job can
    // report and roll back from, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);

    ProgressDialog dialog(program.worker);
    dialog.doModal();
    return dialog.endedInError() ? 1 : 0;
}
