// Rooms in the lobby window: creating or entering one, deleting or leaving it,
// who is in a room, a player's comment, and the host's start of the match.
#include "frmMain.h"

#include "dlgInputRoomName.h"
#include "net/dispatcher.h"
#include "net/frmCom.h"
#include "net/protocol/protocol.h"
#include "session/sessionState.h"
#include "session/seams.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QToolButton>

namespace {

QListWidgetItem *firstSelected(const QListWidget *list)
{
    for (int r = 0; r < list->count(); ++r)
        if (list->item(r)->isSelected())
            return list->item(r);
    return nullptr;
}

// The raw entry a row was built from; rows keep its index in the stored list.
QString entryOfRow(const QListWidgetItem *row, const QStringList &stored)
{
    bool ok = false;
    const int i = row->data(Qt::UserRole).toInt(&ok);
    return ok && i >= 0 && i < stored.size() ? stored.at(i) : QString();
}

// The name a room goes by after entering it: the name in its list entry, which
// keeps the space before the status field, plus the space the wire adds.
QString enteredRoomName(const QString &entry)
{
    return protocol::roomEntry(entry).name + u' ';
}

} // namespace

BusyWait::BusyWait(frmMain *window) : m_window(window) { window->beginWait(); }

BusyWait::~BusyWait()
{
    if (m_window)
        m_window->endWait();
}

QList<QWidget *> frmMain::busyControls() const { return {cmdEnter, cmdLeave, cmdStart, lstRooms}; }

void frmMain::beginWait()
{
    m_waiting = true;
    m_wantedEnabled.clear();
    for (QWidget *w : busyControls()) {
        m_wantedEnabled.insert(w, !w->testAttribute(Qt::WA_ForceDisabled));
        w->setEnabled(false);
    }
    m_changeInfoEnabled = mnuChageInfo->isEnabled();
    mnuChageInfo->setEnabled(false);
}

void frmMain::endWait()
{
    m_waiting = false;
    for (QWidget *w : busyControls())
        w->setEnabled(m_wantedEnabled.value(w, true));
    mnuChageInfo->setEnabled(m_changeInfoEnabled);
}

void frmMain::setCommandEnabled(QWidget *control, bool enabled)
{
    if (m_waiting && m_wantedEnabled.contains(control))
        m_wantedEnabled[control] = enabled;
    else
        control->setEnabled(enabled);
}

void frmMain::connectRoomCommands()
{
    connect(cmdEnter, &QToolButton::clicked, this, &frmMain::cmdEnter_Click);
    connect(cmdLeave, &QToolButton::clicked, this, &frmMain::cmdLeave_Click);
    connect(cmdStart, &QToolButton::clicked, this, &frmMain::cmdStart_Click);
    // A row chosen by mouse or keyboard, or a click on the row already chosen. A
    // list emptied by a refill chooses nothing and asks nothing.
    connect(lstRooms, &QListWidget::itemSelectionChanged, this, [this] {
        if (!lstRooms->selectedItems().isEmpty())
            queueListClick(&frmMain::lstRooms_Click, m_roomsClickQueued);
    });
    connect(lstRooms, &QListWidget::itemClicked, this,
            [this] { queueListClick(&frmMain::lstRooms_Click, m_roomsClickQueued); });
    connect(lstPlayers, &QListWidget::itemSelectionChanged, this, [this] {
        if (!lstPlayers->selectedItems().isEmpty())
            queueListClick(&frmMain::lstPlayers_Click, m_playersClickQueued);
    });
    connect(lstPlayers, &QListWidget::itemClicked, this,
            [this] { queueListClick(&frmMain::lstPlayers_Click, m_playersClickQueued); });
}

void frmMain::queueListClick(void (frmMain::*handler)(), bool &queued)
{
    if (queued)
        return;
    queued = true;
    QMetaObject::invokeMethod(
        this,
        [this, handler, &queued] {
            (this->*handler)();
            queued = false;
        },
        Qt::QueuedConnection);
}

void frmMain::keepRoomPlayers(const QStringList &before)
{
    // A room list that came with the reply found the window still in lobby mode
    // and emptied the room's players.
    frmCom *com = frmCom::get();
    if (com->received().astrRoomPlayers != before)
        dispatcher::showRoomPlayerList(*com);
}

std::optional<frmCom::Reply> frmMain::awaitReply(const protocol::client::Line &command)
{
    const frmCom::Reply reply = frmCom::get()->request(command);
    if (!Forms::isCurrent(this))
        return std::nullopt;
    return reply;
}

void frmMain::cmdEnter_Click()
{
    if (m_waiting)
        return;
    BusyWait busy(this);

    if (session().gblnHost == vbTrue) {
        // The next create starts with an empty dialog, however this one ends.
        struct UnloadDialog {
            ~UnloadDialog() { Forms::unload<dlgInputRoomName>(); }
        } unloadDialog;
        for (;;) {
            platform::modalRunner().run(Forms::get<dlgInputRoomName>());
            // A dropped line closes every lobby window, this dialog included.
            const dlgInputRoomName *dlg = Forms::ifLoaded<dlgInputRoomName>();
            if (!Forms::isCurrent(this) || !dlg || !dlgInputRoomName::m().mblnOK)
                return;
            const QString name = dlg->txtName->text();
            if (name.isEmpty()) {
                platform::msgBox(QStringLiteral("ゲーム名を入力してください"), platform::mb::Exclamation);
                if (!Forms::isCurrent(this))
                    return;
                continue;
            }
            const QStringList before = frmCom::get()->received().astrRoomPlayers;
            const std::optional<frmCom::Reply> reply = awaitReply(protocol::client::CreateRoom{name});
            if (!reply)
                return;
            if (reply->ok()) {
                m().mstrRoomName = name;
                visibleControl(true);
                keepRoomPlayers(before);
            } else if (reply->is(protocol::err::CreateRoom::Exists)) {
                platform::msgBox(QStringLiteral("同じ名前の部屋が存在します。他の名前の部屋を作成してください"),
                                 platform::mb::Critical);
            } else {
                platform::msgBox(QStringLiteral("部屋が作れませんでした"), platform::mb::Critical);
            }
            return;
        }
    }

    const QListWidgetItem *row = firstSelected(lstRooms);
    const QString entry = row ? entryOfRow(row, frmCom::get()->received().astrRooms) : QString();
    if (entry.isEmpty()) {
        platform::msgBox(QStringLiteral("存在する部屋を選択してください"), platform::mb::Critical);
        return;
    }
    const QStringList before = frmCom::get()->received().astrRoomPlayers;
    const std::optional<frmCom::Reply> reply =
        awaitReply(protocol::client::EnterRoom{protocol::client::roomNameOfEntry(entry)});
    if (!reply)
        return;
    if (reply->ok()) {
        m().mstrRoomName = enteredRoomName(entry);
        visibleControl(true);
        keepRoomPlayers(before);
    } else if (reply->is(protocol::err::EnterRoom::Full)) {
        platform::msgBox(QStringLiteral("この部屋は満室です"), platform::mb::Information);
    } else {
        platform::msgBox(QStringLiteral("参加できません"), platform::mb::Critical);
    }
}

void frmMain::cmdLeave_Click()
{
    if (m_waiting)
        return;
    BusyWait busy(this);

    if (session().gblnHost == vbTrue) {
        const std::optional<frmCom::Reply> reply = awaitReply(protocol::client::DeleteRoom{m().mstrRoomName});
        if (!reply)
            return;
        if (reply->ok()) {
            visibleControl(false);
            lstRoomPlayers->clear();
        } else {
            platform::msgBox(QStringLiteral("部屋が削除できません"), platform::mb::Critical);
        }
        return;
    }
    const std::optional<frmCom::Reply> reply = awaitReply(protocol::client::LeaveRoom{});
    if (!reply)
        return;
    // Back in the lobby whatever the answer.
    visibleControl(false);
    if (reply->ok())
        lstRoomPlayers->clear();
}

void frmMain::lstRooms_Click()
{
    if (!Forms::isCurrent(this) || m_waiting)
        return;
    const QListWidgetItem *row = firstSelected(lstRooms);
    if (!row)
        return;
    const QString entry = entryOfRow(row, frmCom::get()->received().astrRooms);
    if (entry.isEmpty())
        return;
    BusyWait busy(this);
    // The players themselves come in a list line that the dispatcher shows.
    const std::optional<frmCom::Reply> reply =
        awaitReply(protocol::client::RoomPlayerList{protocol::client::roomNameOfEntry(entry)});
    if (!reply || reply->ok())
        return;
    lstRoomPlayers->clear();
    platform::msgBox(QStringLiteral("存在しません"), platform::mb::Critical);
}

void frmMain::lstPlayers_Click()
{
    if (!Forms::isCurrent(this))
        return;
    const QListWidgetItem *row = firstSelected(lstPlayers);
    if (!row) {
        platform::msgBox(QStringLiteral("ロビー内のプレイヤーより表示するユーザーをクリックしてください。"),
                         platform::mb::Information);
        return;
    }
    const QString entry = entryOfRow(row, frmCom::get()->playerList());
    if (!entry.isEmpty())
        frmCom::get()->send(protocol::client::PlayerInfo::fromEntry(entry));
}

void frmMain::cmdStart_Click()
{
    if (m_waiting)
        return;
    BusyWait busy(this);

    setCommandEnabled(cmdStart, false);
    setButtonPicture(cmdLeave, imgDeleteEnable->pixmap(), imgDeleteDisable->pixmap());
    setCommandEnabled(cmdLeave, false);
    setStatusText(QStringLiteral("アプリケーションに制御が戻った後クライアントが接続するまで待つ必要があります。"));

    if (!awaitReply(protocol::client::Ip{frmCom::get()->localAddress()}))
        return;
    const std::optional<frmCom::Reply> reply = awaitReply(protocol::client::Start{});
    if (!reply)
        return;
    if (reply->kind == frmCom::Reply::Kind::Err) {
        // No client was told to start (the room shrank meanwhile, or is gone):
        // handing the game an empty address now would leave it waiting for
        // players who never come. The host stays in the room.
        setCommandEnabled(cmdLeave, true);
        setStatusText(QStringLiteral("クライアントユーザーがこの部屋に参加すればゲームを開始することができます。"));
        dispatcher::showRoomPlayerList(*frmCom::get());
        platform::msgBox(QStringLiteral("ゲームを開始できませんでした"), platform::mb::Critical);
        return;
    }
    session().setLobbyEnd(LobbyEnd::MatchStarted);
    Forms::unloadAll();
}
