// The lobby window as the network layer sees it (net/lobbyView.h).
#include "frmMain.h"

#include "net/dispatcher.h"
#include "net/frmCom.h"
#include "net/lobbyView.h"
#include "net/protocol/protocol.h"
#include "phrases/frmEditChat.h"
#include "session/seams.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QToolButton>

namespace {

// Loaded again when a line arrives after it was unloaded. Never kept across
// anything that runs the event loop.
frmMain *lobby()
{
    return Forms::get<frmMain>();
}

// Fills list with one row per stored entry (the last, empty element excluded).
// An empty entry cannot make a row and is skipped; each row keeps the index of
// its entry under Qt::UserRole, so a click finds the right entry either way.
void fillRows(QListWidget *list, const QStringList &stored, QString (*row)(const QString &))
{
    list->clear();
    QStringList rows;
    QList<int> entryOfRow;
    rows.reserve(stored.size());
    entryOfRow.reserve(stored.size());
    for (qsizetype i = 0; i + 1 < stored.size(); ++i) {
        if (stored.at(i).isEmpty())
            continue;
        rows.append(row(stored.at(i)));
        entryOfRow.append(int(i));
    }
    list->addItems(rows);
    for (int r = 0; r < entryOfRow.size(); ++r)
        list->item(r)->setData(Qt::UserRole, entryOfRow.at(r));
}

class frmMainView final : public LobbyView {
public:
    bool echoesLines() const override { return frmMain::m().blnDisplayDbgMessage; }

    int appendChat(bool room, const QString &line) override
    {
        frmMain *f = lobby();
        return f->appendChat(room ? f->rtfRoomChat : f->rtfLobbyChat, line);
    }

    void showPlayers(const QStringList &stored) override { fillRows(lobby()->lstPlayers, stored, &protocol::playerRow); }
    void showRooms(const QStringList &stored) override { fillRows(lobby()->lstRooms, stored, &protocol::roomRow); }

    void showRoomPlayers(const QStringList &players, std::optional<bool> startEnabled) override
    {
        if (startEnabled)
            lobby()->setCommandEnabled(lobby()->cmdStart, *startEnabled);
        QListWidget *list = lobby()->lstRoomPlayers;
        list->clear();
        list->addItems(players);
    }

    bool isRoomMode() const override { return lobby()->isRoomMode(); }
    void clearRoomPlayers() override { lobby()->lstRoomPlayers->clear(); }
    void leaveRoomMode() override { lobby()->visibleControl(false); }
    void setStatusText(const QString &text) override { lobby()->setStatusText(text); }

    void matchAnnounced() override
    {
        frmMain *f = lobby();
        f->setCommandEnabled(f->cmdLeave, false);
        const QPixmap leaveDisabled = f->imgLeaveDisable->pixmap();
        frmMain::setButtonPicture(f->cmdLeave, leaveDisabled, leaveDisabled);
    }

    qsizetype chatPhraseRoom(qsizetype maxGamePhrases) const override
    {
        return maxGamePhrases + frmEditChat::kPhrases - lobby()->txtLobbyChat->count();
    }

    void addChatPhrases(const QStringList &phrases) override { lobby()->addChatPhrases(phrases); }

    // Without always-on-top every window goes back into the ordinary stacking, in
    // the order they were loaded, and the active one ends up above the others.
    void dropAlwaysOnTop() override
    {
        platform::WindowOrder &order = platform::windowOrder();
        const QList<QWidget *> windows = Forms::loaded();
        for (QWidget *w : windows) {
            // Moving a topmost window to the bottom takes the state away on the desktop
            // this was made for; here the hint has to be removed on its own.
            order.setTopmost(w, false);
            order.placeBottom(w);
            order.placeTop(w);
        }
        QWidget *active = QApplication::activeWindow();
        if (active && windows.contains(active))
            order.placeTop(active);
    }

    void closeAll() override { Forms::unloadAll(); }

    void closeForDroppedLine() override
    {
        for (const char *name : {"dlgChart", "dlgInputRoomName", "dlgInputUserPas", "dlgLogin", "frmAbout", "dlgLicence", "frmMain"})
            Forms::unload(QString::fromLatin1(name));
    }
};

} // namespace

void installLobbyView()
{
    static frmMainView view;
    frmCom::setView(&view);
}
