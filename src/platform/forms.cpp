#include "forms.h"

#include "session/seams.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {
struct Entry {
    QString name;
    QPointer<QWidget> widget;
};
std::vector<Entry> &live()
{
    static std::vector<Entry> v;
    return v;
}
std::vector<QPointer<QWidget>> &parked()
{
    static std::vector<QPointer<QWidget>> v;
    return v;
}
// Widgets whose loading handler has not been seen returning yet.
std::vector<QPointer<QWidget>> &watched()
{
    static std::vector<QPointer<QWidget>> v;
    return v;
}

// Qt sends a deferred delete held back by a wait only when something is posted
// afterwards; while a closed window waits for its loader to return, post a no-op
// now and then so that it goes soon after, not at the next unrelated event.
void nudgeWhileParkedAndWatched()
{
    static QPointer<QTimer> timer;
    if (!timer) {
        if (!QCoreApplication::instance())
            return;
        timer = new QTimer(QCoreApplication::instance());
        timer->setInterval(100);
        QObject::connect(timer, &QTimer::timeout, timer, [] {
            std::erase_if(watched(), [](const QPointer<QWidget> &w) { return !w; });
            const bool waiting = std::any_of(watched().begin(), watched().end(),
                                             [](const QPointer<QWidget> &w) { return !Forms::isCurrent(w); });
            if (waiting)
                QCoreApplication::postEvent(timer, new QEvent(QEvent::User));
            else
                timer->stop();
        });
    }
    if (!timer->isActive())
        timer->start();
}
} // namespace

// Delivered once the handler that loaded a window has returned. Qt holds a deferred
// delete until the nesting it was posted at (event loops plus events being handled,
// so processEvents() waits count too) has been left; a wait inside that handler,
// and every handler of a window shown from it, sits above that level.
class LoadWatch final : public QObject {
public:
    explicit LoadWatch(QWidget *w) : m_widget(w) {}
    ~LoadWatch() override
    {
        if (m_level <= 0)
            return;
        auto &v = watched();
        if (auto it = std::find(v.begin(), v.end(), m_widget); it != v.end())
            v.erase(it);
        Forms::loadHandlerReturned(m_widget, m_level);
    }
    // Arms the watch at the current nesting and returns that nesting; 0 (nothing
    // armed) where no event loop runs and no event is being handled, since Qt
    // delivers a deferred delete posted there in whatever loop runs next.
    int arm()
    {
#if QT_VERSION < QT_VERSION_CHECK(6, 7, 0)
        auto *event = new QDeferredDeleteEvent;
        QCoreApplication::postEvent(this, event);
        m_level = event->loopLevel();
        if (m_level <= 0)
            QCoreApplication::removePostedEvents(this, QEvent::DeferredDelete);
#else
        // Newer Qt keeps the nesting of a deferred delete private: collect() only.
        m_level = 0;
#endif
        return m_level;
    }
    // The nesting a deferred delete posted now would carry.
    static int currentLevel()
    {
        LoadWatch probe(nullptr);
        const int level = probe.arm();
        QCoreApplication::removePostedEvents(&probe, QEvent::DeferredDelete);
        probe.m_level = 0;
        return level;
    }

private:
    QPointer<QWidget> m_widget;
    int m_level = 0;
};

Form::Form(QWidget *parent) : QDialog(parent) {}

void Form::closeEvent(QCloseEvent *event)
{
    event->ignore();
    if (Form_QueryUnload())
        Forms::unload(objectName());
}

void Form::keyPressEvent(QKeyEvent *event)
{
    // Escape does not close a window here; windows with a cancel button handle it.
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

QWidget *Forms::find(const QString &name)
{
    for (const Entry &e : live())
        if (e.name == name && e.widget)
            return e.widget;
    return nullptr;
}

bool Forms::isCurrent(const QWidget *w)
{
    if (!w)
        return false;
    for (const Entry &e : live())
        if (e.widget == w)
            return true;
    return false;
}

void Forms::adopt(const QString &name, QWidget *w)
{
    w->setObjectName(name);
    // A label may quote a player or the server (a comment, a room name): it is text,
    // never markup that would load files or paint over the window.
    for (QLabel *label : w->findChildren<QLabel *>())
        label->setTextFormat(Qt::PlainText);
    std::erase_if(live(), [&](const Entry &e) { return e.name == name || !e.widget; });
    live().push_back({name, w});
    auto *watch = new LoadWatch(w);
    if (watch->arm() <= 0)
        delete watch;
    else
        watched().push_back(w);
}

void Forms::loadHandlerReturned(QWidget *w, int loadLevel)
{
    // Delivered early (an explicit sendPostedEvents(DeferredDelete) at the loading
    // level, as QTest::qWait does): the loading handler may still run.
    if (!w || isCurrent(w) || LoadWatch::currentLevel() > loadLevel)
        return;
    auto &p = parked();
    std::erase_if(p, [&](const QPointer<QWidget> &x) { return x == w || !x; });
    delete w;
}

void Forms::unload(const QString &name)
{
    auto &v = live();
    auto it = std::find_if(v.begin(), v.end(), [&](const Entry &e) { return e.name == name; });
    if (it == v.end())
        return;
    QPointer<QWidget> w = it->widget;
    v.erase(it);
    if (!w)
        return;
    parked().push_back(w);
    if (std::find(watched().begin(), watched().end(), w) != watched().end())
        nudgeWhileParkedAndWatched();
    if (auto *d = qobject_cast<QDialog *>(w.data()))
        d->done(QDialog::Rejected); // ends a modal display and hides
    if (w)
        w->hide();
}

void Forms::unloadAll()
{
    while (!live().empty())
        unload(live().back().name);
    if (platform::installed())
        platform::messageBoxes().closeAll();
}

QList<QWidget *> Forms::loaded()
{
    QList<QWidget *> out;
    for (const Entry &e : live())
        if (e.widget)
            out.append(e.widget);
    return out;
}

void Forms::collect()
{
    auto doomed = std::move(parked());
    parked().clear();
    for (auto &w : doomed)
        delete w.data();
}

void Forms::resetAll()
{
    while (!live().empty())
        unload(live().front().name);
    collect();
    states().clear();
}

std::map<QString, std::unique_ptr<FormStateBase>> &Forms::states()
{
    static std::map<QString, std::unique_ptr<FormStateBase>> s;
    return s;
}
