#pragma once
// The narrow seams to the desktop. The logic calls these; the component installs
// the Qt implementations (platform/qtplatform.h) and tests install scripted ones.
#include <QString>
#include <QUrl>

#include <functional>

class QWidget;
class QDialog;

namespace platform {

// Message box styles and answers keep the numbers of the classic message box
// (style = buttons + icon), so a call reads like the texts it shows.
namespace mb {
// buttons
constexpr int OKOnly = 0, OKCancel = 1, AbortRetryIgnore = 2, YesNoCancel = 3, YesNo = 4, RetryCancel = 5;
// icons
constexpr int Critical = 16, Question = 32, Exclamation = 48, Information = 64;
// answers
constexpr int OK = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7;
} // namespace mb

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows text modally; returns the answer (mb::OK, mb::Yes, ...).
    virtual int show(const QString &text, int style) = 0;
    virtual void beep() = 0;
    // Closes every box still open; each show() returns as if closed by its close box.
    virtual void closeAll() {}
};

class ModalRunner {
public:
    virtual ~ModalRunner() = default;
    // Shows the dialog modally and returns when it is closed or hidden.
    virtual void run(QDialog *dialog) = 0;
};

class Browser {
public:
    virtual ~Browser() = default;
    // Opens url in a visible browser window; false when that failed.
    virtual bool open(const QUrl &url) = 0;
};

class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // Path of the system-information tool, or "" when there is none.
    virtual QString locate() = 0;
    virtual bool start(const QString &path) = 0;
};

class WindowOrder {
public:
    virtual ~WindowOrder() = default;
    // Always-on-top on or off; position and size stay.
    virtual void setTopmost(QWidget *window, bool topmost) = 0;
    virtual void placeTop(QWidget *window) = 0;
    virtual void placeBottom(QWidget *window) = 0;
};

// The seams in force. Each getter asserts that something was installed.
MessageBoxes &messageBoxes();
ModalRunner &modalRunner();
Browser &browser();
SystemInfo &systemInfo();
WindowOrder &windowOrder();

// Install (not owned; nullptr uninstalls). Returns the previous one.
MessageBoxes *setMessageBoxes(MessageBoxes *);
ModalRunner *setModalRunner(ModalRunner *);
Browser *setBrowser(Browser *);
SystemInfo *setSystemInfo(SystemInfo *);
WindowOrder *setWindowOrder(WindowOrder *);
bool installed();

// Convenience for the many one-line message calls.
inline int msgBox(const QString &text, int style = mb::OKOnly) { return messageBoxes().show(text, style); }

} // namespace platform
