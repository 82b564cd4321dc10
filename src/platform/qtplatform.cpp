#include "qtplatform.h"

#include "session/desktop.h"
#include "session/sessionState.h"
#include "session/seams.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTranslator>
#include <QWidget>
#include <QWindow>

namespace platform {
namespace {

bool g_catalogueLoaded = false;

// The interface is Japanese whatever the locale, so Qt's own texts are too.
QString fallbackCaption(QMessageBox::StandardButton button)
{
    switch (button) {
    case QMessageBox::Ok: return QStringLiteral("OK");
    case QMessageBox::Cancel: return QStringLiteral("キャンセル");
    case QMessageBox::Yes: return QStringLiteral("はい(&Y)");
    case QMessageBox::No: return QStringLiteral("いいえ(&N)");
    case QMessageBox::Retry: return QStringLiteral("再試行");
    case QMessageBox::Abort: return QStringLiteral("中止");
    case QMessageBox::Ignore: return QStringLiteral("無視");
    default: return QString();
    }
}

class QtMessageBoxes final : public MessageBoxes {
public:
    int show(const QString &text, int style) override
    {
        QMessageBox box(QApplication::activeWindow());
        box.setWindowTitle(QStringLiteral("QorChat"));
        // Texts quote names, rooms and server errors: never read as markup.
        box.setTextFormat(Qt::PlainText);
        box.setText(text);
        switch (style & 0x70) {
        case mb::Critical: box.setIcon(QMessageBox::Critical); break;
        case mb::Question: box.setIcon(QMessageBox::Question); break;
        case mb::Exclamation: box.setIcon(QMessageBox::Warning); break;
        case mb::Information: box.setIcon(QMessageBox::Information); break;
        default: break;
        }
        if (session().gblnTopmost)
            box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
        struct B { QMessageBox::StandardButton qt; int answer; };
        std::vector<B> buttons;
        switch (style & 0x7) {
        case mb::OKCancel: buttons = {{QMessageBox::Ok, mb::OK}, {QMessageBox::Cancel, mb::Cancel}}; break;
        case mb::AbortRetryIgnore:
            buttons = {{QMessageBox::Abort, mb::Abort}, {QMessageBox::Retry, mb::Retry}, {QMessageBox::Ignore, mb::Ignore}};
            break;
        case mb::YesNoCancel:
            buttons = {{QMessageBox::Yes, mb::Yes}, {QMessageBox::No, mb::No}, {QMessageBox::Cancel, mb::Cancel}};
            break;
        case mb::YesNo: buttons = {{QMessageBox::Yes, mb::Yes}, {QMessageBox::No, mb::No}}; break;
        case mb::RetryCancel: buttons = {{QMessageBox::Retry, mb::Retry}, {QMessageBox::Cancel, mb::Cancel}}; break;
        default: buttons = {{QMessageBox::Ok, mb::OK}}; break;
        }
        QMessageBox::StandardButtons set;
        for (const B &b : buttons)
            set |= b.qt;
        box.setStandardButtons(set);
        if (!g_catalogueLoaded)
            for (const B &b : buttons)
                box.button(b.qt)->setText(fallbackCaption(b.qt));
        box.setDefaultButton(buttons.front().qt);
        m_open.append(&box);
        const int clicked = box.exec();
        m_open.removeOne(&box);
        for (const B &b : buttons)
            if (b.qt == clicked) return b.answer;
        // Closed without a button: the cancel-like answer, or the only one.
        for (const B &b : buttons)
            if (b.answer == mb::Cancel || b.answer == mb::No) return b.answer;
        return buttons.front().answer;
    }
    void beep() override { QApplication::beep(); }
    void closeAll() override
    {
        const QList<QMessageBox *> open = m_open;
        for (QMessageBox *box : open)
            box->done(-1); // no button: the cancel-like answer
    }

private:
    QList<QMessageBox *> m_open;
};

class QtModalRunner final : public ModalRunner {
public:
    void run(QDialog *dialog) override
    {
        if (dialog)
            dialog->exec();
    }
};

class QtBrowser final : public Browser {
public:
    bool open(const QUrl &url) override { return url.isValid() && QDesktopServices::openUrl(url); }
};

class QtSystemInfo final : public SystemInfo {
public:
    QString locate() override
    {
        for (const char *name : {"hardinfo2", "hardinfo", "kinfocenter", "gnome-system-monitor", "xfce4-taskmanager"}) {
            const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
            if (!path.isEmpty())
                return path;
        }
        return QString();
    }
    bool start(const QString &path) override { return !path.isEmpty() && QProcess::startDetached(path, {}); }
};

class QtWindowOrder final : public WindowOrder {
public:
    void setTopmost(QWidget *window, bool topmost) override
    {
        if (!window)
            return;
        // Changing the widget's flags while it is shown would hide it (and end a
        // modal display), so a shown window gets the hint on its native window.
        if (window->isVisible() && window->windowHandle())
            window->windowHandle()->setFlag(Qt::WindowStaysOnTopHint, topmost);
        else
            window->setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
    }
    void placeTop(QWidget *window) override
    {
        if (window && window->isVisible())
            window->raise();
    }
    void placeBottom(QWidget *window) override
    {
        if (window && window->isVisible())
            window->lower();
    }
};

template <typename T>
void keepOr(T *(*set)(T *), T *ours)
{
    T *previous = set(nullptr);
    set(previous ? previous : ours);
}

} // namespace

bool installQtTranslation(const QString &directory)
{
    static QTranslator *installed = nullptr;
    if (!QCoreApplication::instance())
        return false;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
    const QString dir = directory.isNull() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : directory;
    auto *translator = new QTranslator;
    g_catalogueLoaded = translator->load(QStringLiteral("qtbase_ja"), dir) && QCoreApplication::installTranslator(translator);
    if (g_catalogueLoaded)
        installed = translator;
    else
        delete translator;
    return g_catalogueLoaded;
}

void installQtPlatform()
{
    static bool translated = false;
    if (!translated && QCoreApplication::instance()) {
        installQtTranslation();
        translated = true;
    }
    static QtMessageBoxes messageBoxes;
    static QtModalRunner modalRunner;
    static QtBrowser browser;
    static QtSystemInfo systemInfo;
    static QtWindowOrder windowOrder;
    // Each seam only when nothing (a test, say) installed one before.
    keepOr(&setMessageBoxes, static_cast<MessageBoxes *>(&messageBoxes));
    keepOr(&setModalRunner, static_cast<ModalRunner *>(&modalRunner));
    keepOr(&setBrowser, static_cast<Browser *>(&browser));
    keepOr(&setSystemInfo, static_cast<SystemInfo *>(&systemInfo));
    keepOr(&setWindowOrder, static_cast<WindowOrder *>(&windowOrder));
}

} // namespace platform
