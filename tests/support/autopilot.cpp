// A test driver preloaded (LD_PRELOAD) into a process that runs the component
// through its public interface (the launcher, a C or Python program). It plays
// the player through the real windows, found by their object names, as the
// variable QORCHAT_AUTOPILOT says (comma-separated):
//   licence=agree|decline  the terms-of-use dialog
//   account=cancel         the account form, closed with its close box
//   login=ok               the login dialog, sent again as it is
//   lobby=exit             the lobby's Exit menu, once the room list is in
//   lobby=enter:ROOM       the lobby enters the first room whose row starts with ROOM
//   box=yes                message boxes answered Yes (else No, Cancel or the only button)
// Every message box text is written to stderr as "autopilot: box: TEXT".
#include "uidriver.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <map>
#include <set>

using uidriver::child;

namespace {

std::map<QString, QString> g_script;
std::set<const QWidget *> g_boxesSeen;

QString wanted(const char *key) { return g_script.count(QLatin1String(key)) ? g_script[QLatin1String(key)] : QString(); }

QWidget *shown(const char *name) { return uidriver::window(QLatin1String(name)); }

void click(QWidget *window, const char *button)
{
    if (auto *b = child<QAbstractButton>(window, QLatin1String(button)); b && b->isVisible() && b->isEnabled())
        b->click();
}

void answerBoxes()
{
    QMessageBox *box = uidriver::messageBox();
    if (!box)
        return;
    if (g_boxesSeen.insert(box).second) {
        std::fprintf(stderr, "autopilot: box: %s\n", qPrintable(box->text()));
        std::fflush(stderr);
    }
    QAbstractButton *answer = nullptr;
    if (wanted("box") == QLatin1String("yes"))
        answer = box->button(QMessageBox::Yes);
    for (QAbstractButton *b : box->buttons()) {
        const auto role = box->buttonRole(b);
        if (!answer && (role == QMessageBox::RejectRole || role == QMessageBox::NoRole))
            answer = b;
    }
    if (!answer && !box->buttons().isEmpty())
        answer = box->buttons().first();
    // Deferred: a click opens the next step, which may open the next box.
    uidriver::clickLater(answer);
}

void step()
{
    answerBoxes();
    if (QWidget *w = shown("dlgLicence"))
        click(w, wanted("licence") == QLatin1String("agree") ? "OKButton" : "CancelButton");
    if (QWidget *w = shown("dlgInputUserPas"); w && wanted("account") == QLatin1String("cancel"))
        QTimer::singleShot(0, w, &QWidget::close); // the close box: the form has no cancel button
    if (QWidget *w = shown("dlgLogin"); w && wanted("login") == QLatin1String("ok"))
        click(w, "OKButton");
    QWidget *lobby = shown("frmMain");
    if (!lobby)
        return;
    auto *rooms = child<QListWidget>(lobby, QStringLiteral("lstRooms"));
    const QString action = wanted("lobby");
    if (action == QLatin1String("exit") && rooms) {
        if (auto *exit = child<QAction>(lobby, QStringLiteral("mnuExit")))
            QTimer::singleShot(0, exit, &QAction::trigger);
        g_script.erase(QStringLiteral("lobby"));
    } else if (action.startsWith(QLatin1String("enter:")) && rooms && rooms->isVisible()) {
        const QString room = action.mid(6);
        auto *players = child<QListWidget>(lobby, QStringLiteral("lstRoomPlayers"));
        for (int i = 0; i < rooms->count(); ++i) {
            if (!rooms->item(i)->text().startsWith(room))
                continue;
            if (rooms->currentRow() != i)
                rooms->setCurrentRow(i);
            else if (players && players->count() > 0)
                click(lobby, "cmdEnter"); // again on a later tick if a wait dropped it
            break;
        }
    }
}

void start()
{
    const QString script = qEnvironmentVariable("QORCHAT_AUTOPILOT");
    if (script.isEmpty() || !qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    for (const QString &item : script.split(u',', Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf(u'=');
        g_script[item.left(eq)] = eq < 0 ? QString() : item.mid(eq + 1);
    }
    auto *timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, step);
    timer->start(50);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
