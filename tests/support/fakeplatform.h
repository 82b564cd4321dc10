#pragma once
// Scripted stand-ins for the desktop seams. Install one FakePlatform per test;
// it records every message box and answers from a queue, and runs modal dialogs
// through per-window handlers.
#include "session/seams.h"

#include <QDialog>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>

struct ShownMessage {
    QString text;
    int style;
};

class FakePlatform : public platform::MessageBoxes,
                     public platform::ModalRunner,
                     public platform::Browser,
                     public platform::SystemInfo,
                     public platform::WindowOrder {
public:
    FakePlatform();
    ~FakePlatform() override;

    // MessageBoxes: answers come from the queue, else the first button of the style.
    int show(const QString &text, int style) override;
    void beep() override { ++beeps; }
    // Counted only: a box onMessage holds open sees the count move and returns.
    void closeAll() override { ++closeAlls; }
    int closeAlls = 0;
    std::deque<int> answers;
    QList<ShownMessage> messages;
    std::function<void(const QString &)> onMessage; // runs while the box is "open"
    int beeps = 0;
    QStringList messageTexts() const;

    // ModalRunner: a handler for the window's objectName, else a real exec().
    void run(QDialog *dialog) override;
    QHash<QString, std::function<void(QDialog *)>> handlers;
    QStringList modalShown;

    // Browser
    bool open(const QUrl &url) override;
    QList<QUrl> opened;
    bool browserWorks = true;

    // SystemInfo
    QString locate() override { return systemInfoPath; }
    bool start(const QString &path) override;
    QString systemInfoPath;
    QStringList started;

    // WindowOrder
    void setTopmost(QWidget *window, bool topmost) override;
    void placeTop(QWidget *window) override;
    void placeBottom(QWidget *window) override;
    QStringList orderCalls; // "topmost:<name>:1", "top:<name>", "bottom:<name>"

private:
    platform::MessageBoxes *m_prevBoxes;
    platform::ModalRunner *m_prevRunner;
    platform::Browser *m_prevBrowser;
    platform::SystemInfo *m_prevInfo;
    platform::WindowOrder *m_prevOrder;
};
