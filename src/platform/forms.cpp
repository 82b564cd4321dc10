#include "forms.h"

#include "session/seams.h"

#include <QCloseEvent>
#include <QKeyEvent>

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
} // namespace

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
    std::erase_if(live(), [&](const Entry &e) { return e.name == name || !e.widget; });
    live().push_back({name, w});
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
