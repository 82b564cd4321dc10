#include "frmMain.h"
#include "platform/chatPhrases.h"
#include "platform/dialogParts.h"

#include "session/desktop.h"
#include "session/sessionState.h"

#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

// The pictures live in the client library, which is static: nothing else would
// pull their registration into the final binary.
static void initPictures()
{
    Q_INIT_RESOURCE(qorchat);
}

namespace {

// The layout is given in twips; 15 twips are one pixel at 96 dots per inch.
QRect twips(int left, int top, int width, int height)
{
    return QRect(dialog::twips(left), dialog::twips(top), dialog::twips(width), dialog::twips(height));
}

template <class W>
W *control(QWidget *parent, const char *name, const QRect &place)
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(place);
    return w;
}

QLabel *picture(QWidget *parent, const char *name, const char *file, int slot)
{
    // Kept below the visible area, as a store the buttons take their looks from.
    auto *img = control<QLabel>(parent, name, twips(120 + slot * 600, 6700, 480, 480));
    img->setPixmap(QPixmap(QStringLiteral(":/images/") + QLatin1String(file)));
    img->hide();
    return img;
}

QPixmap resourcePixmap(const char *file)
{
    return QPixmap(QStringLiteral(":/images/") + QLatin1String(file));
}

} // namespace

frmMain::frmMain()
{
    installLobbyView();
    // The phrase editor's OK; a parked (unloaded) lobby window is left alone.
    connect(&ChatPhrases::instance(), &ChatPhrases::cleared, this, [this] {
        if (Forms::isCurrent(this))
            clearChatPhrases();
    });
    connect(&ChatPhrases::instance(), &ChatPhrases::added, this, [this](const QStringList &phrases) {
        if (Forms::isCurrent(this))
            addChatPhrases(phrases);
    });
    initPictures();
    setWindowTitle(QStringLiteral("QorChat"));
    setWindowIcon(QIcon(QStringLiteral(":/images/qorchat.png")));
    // Fixed single border: no maximise button, no resizing.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    menuBar = new QMenuBar(this);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    // The client area sits right under the menu, so the menu stays in the window.
    menuBar->setNativeMenuBar(false);
    mnuFile = menuBar->addMenu(QStringLiteral("ファイル(&F)"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuChageInfo = mnuFile->addAction(QStringLiteral("ユーザー情報の変更(&C)"));
    mnuChageInfo->setObjectName(QStringLiteral("mnuChageInfo"));
    // The phrase editor has no place of its own in the lobby; the file menu is
    // where users look for their settings.
    mnuEditChat = mnuFile->addAction(QStringLiteral("チャット選択データ編集(&E)"));
    mnuEditChat->setObjectName(QStringLiteral("mnuEditChat"));
    connect(mnuEditChat, &QAction::triggered, this, &frmMain::editChatPhrases);
    mnuExit = mnuFile->addAction(QStringLiteral("終了(&X)"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    mnuHelp = menuBar->addMenu(QStringLiteral("ヘルプ(&H)"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuAccess = mnuHelp->addAction(QStringLiteral("アクセス状況(&I)"));
    mnuAccess->setObjectName(QStringLiteral("mnuAccess"));
    connect(mnuAccess, &QAction::triggered, this, &frmMain::mnuAccess_Click);
    mnuOnlineHelp = mnuHelp->addAction(QStringLiteral("オンラインヘルプ(&O)"));
    mnuOnlineHelp->setObjectName(QStringLiteral("mnuOnlineHelp"));
    mnuVersion = mnuHelp->addAction(QStringLiteral("バージョン情報(&A)"));
    mnuVersion->setObjectName(QStringLiteral("mnuVersion"));
    connect(mnuVersion, &QAction::triggered, this, &frmMain::mnuVersion_Click);

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("clientArea"));
    client->setFixedSize(dialog::twips(9480), dialog::twips(6555));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(menuBar);
    layout->addWidget(client);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // An etched rule under the menu: a dark line over a light one.
    linMenu1 = control<QFrame>(client, "linMenu1", QRect(0, 0, client->width(), 1));
    linMenu1->setAutoFillBackground(true);
    linMenu1->setBackgroundRole(QPalette::Dark);
    linMenu2 = control<QFrame>(client, "linMenu2", QRect(0, 1, client->width(), 1));
    linMenu2->setAutoFillBackground(true);
    linMenu2->setBackgroundRole(QPalette::Light);

    lblPlayers = control<QLabel>(client, "lblPlayers", twips(120, 120, 4575, 255));
    lblPlayers->setText(QStringLiteral("ロビー内のプレイヤー"));
    lstPlayers = control<QListWidget>(client, "lstPlayers", twips(120, 360, 4575, 1500));
    // The room's labels reach the window's edge: a room name may be 16 wide characters.
    lblRoomPlayerList = control<QLabel>(client, "lblRoomPlayerList", twips(4800, 120, 4680, 255));
    lblRoomPlayerList->setText(QStringLiteral("部屋内のプレイヤー"));
    lstRoomPlayers = control<QListWidget>(client, "lstRoomPlayers", twips(4800, 360, 4575, 1500));
    lblLobbyChat = control<QLabel>(client, "lblLobbyChat", twips(120, 1920, 4695, 255));
    lblLobbyChat->setText(QStringLiteral("ロビーチャット"));
    rtfLobbyChat = control<QPlainTextEdit>(client, "rtfLobbyChat", twips(120, 2160, 4575, 3015));
    lblRoom = control<QLabel>(client, "lblRoom", twips(4800, 1920, 4680, 255));
    lblRoom->setText(QStringLiteral("部屋リスト"));
    // At the top of their places, clear of the boxes below them.
    for (QLabel *label : {lblPlayers, lblRoomPlayerList, lblLobbyChat, lblRoom})
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lstRooms = control<QListWidget>(client, "lstRooms", twips(4800, 2160, 4575, 2940));
    rtfRoomChat = control<QPlainTextEdit>(client, "rtfRoomChat", twips(4800, 2160, 4575, 3015));
    txtLobbyChat = control<QComboBox>(client, "txtLobbyChat", twips(120, 5280, 4575, 300));
    txtRoomChat = control<QComboBox>(client, "txtRoomChat", twips(4800, 5280, 4575, 300));
    cmdHelp = control<QToolButton>(client, "cmdHelp", twips(120, 5640, 495, 495));
    cmdEnter = control<QToolButton>(client, "cmdEnter", twips(4800, 5640, 495, 495));
    cmdLeave = control<QToolButton>(client, "cmdLeave", twips(5520, 5640, 495, 495));
    cmdStart = control<QToolButton>(client, "cmdStart", twips(6240, 5640, 495, 495));

    for (QListWidget *list : {lstPlayers, lstRoomPlayers, lstRooms}) {
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        // Every row is one line of text; this keeps a long list cheap to refill.
        list->setUniformItemSizes(true);
    }
    for (QPlainTextEdit *box : {rtfLobbyChat, rtfRoomChat}) {
        box->setReadOnly(true);
        box->setUndoRedoEnabled(false);
        // New lines push the oldest out, a block at a time; the text is never
        // rebuilt, so a long chat costs the same per line as a short one.
        box->setMaximumBlockCount(kChatLines);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }
    for (QComboBox *input : {txtLobbyChat, txtRoomChat}) {
        input->setEditable(true);
        // Enter sends the line; it must neither add it to the phrase list nor
        // complete it from a phrase.
        input->setInsertPolicy(QComboBox::NoInsert);
        input->setCompleter(nullptr);
    }
    for (QToolButton *button : {cmdHelp, cmdEnter, cmdLeave, cmdStart}) {
        button->setIconSize(QSize(32, 32));
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    }

    imgCreateEnable = picture(client, "imgCreateEnable", "create_enable.png", 0);
    imgCreateDisable = picture(client, "imgCreateDisable", "create_disable.png", 1);
    imgEnterEnable = picture(client, "imgEnterEnable", "enter_enable.png", 2);
    imgEnterDisable = picture(client, "imgEnterDisable", "enter_disable.png", 3);
    imgLeaveEnable = picture(client, "imgLeaveEnable", "leave_enable.png", 4);
    imgLeaveDisable = picture(client, "imgLeaveDisable", "leave_disable.png", 5);
    imgDeleteEnable = picture(client, "imgDeleteEnable", "delete_enable.png", 6);
    imgDeleteDisable = picture(client, "imgDeleteDisable", "delete_disable.png", 7);

    const QPixmap help = resourcePixmap("help.png");
    setButtonPicture(cmdHelp, help, help);
    cmdHelp->setToolTip(QStringLiteral("オンラインヘルプを表示します"));
    setButtonPicture(cmdEnter, imgEnterEnable->pixmap(), imgEnterDisable->pixmap());
    setButtonPicture(cmdLeave, imgLeaveEnable->pixmap(), imgLeaveDisable->pixmap());
    setButtonPicture(cmdStart, resourcePixmap("start_enable.png"), resourcePixmap("start_disable.png"));

    staInfo = control<QStatusBar>(client, "staInfo", twips(0, 6180, 9480, 375));
    staInfo->setSizeGripEnabled(false);
    m_panelText = new QLabel(staInfo);
    m_panelText->setObjectName(QStringLiteral("staInfoText"));
    // A long notice is cut at the panel's edge instead of pushing the clock out.
    m_panelText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_panelDate = new QLabel(staInfo);
    m_panelDate->setObjectName(QStringLiteral("staInfoDate"));
    m_panelDate->setAlignment(Qt::AlignCenter);
    m_panelDate->setMinimumWidth(m_panelDate->fontMetrics().horizontalAdvance(QStringLiteral("0000/00/00")) + 12);
    m_panelTime = new QLabel(staInfo);
    m_panelTime->setObjectName(QStringLiteral("staInfoTime"));
    m_panelTime->setAlignment(Qt::AlignCenter);
    m_panelTime->setMinimumWidth(m_panelTime->fontMetrics().horizontalAdvance(QStringLiteral("00:00")) + 12);
    staInfo->addWidget(m_panelText, 1);
    staInfo->addPermanentWidget(m_panelDate);
    staInfo->addPermanentWidget(m_panelTime);
    m_clock = new QTimer(this);
    m_clock->setInterval(1000);
    connect(m_clock, &QTimer::timeout, this, &frmMain::updateClock);
    updateClock();

    QWidget::setTabOrder(txtLobbyChat, txtRoomChat);
    QWidget::setTabOrder(txtRoomChat, cmdHelp);
    QWidget::setTabOrder(cmdHelp, cmdEnter);
    QWidget::setTabOrder(cmdEnter, cmdLeave);
    QWidget::setTabOrder(cmdLeave, cmdStart);
    QWidget::setTabOrder(cmdStart, lstPlayers);
    QWidget::setTabOrder(lstPlayers, lstRoomPlayers);
    QWidget::setTabOrder(lstRoomPlayers, lstRooms);

    connectRoomCommands();
    connectChatAndMenus();
}

void frmMain::Form_Load()
{
    m().blnDisplayDbgMessage = false;
    visibleControl(false);
    lobbyModule::setTopmost(this);
    setStatusText((session().gblnHost == vbTrue ? QStringLiteral("サーバー") : QStringLiteral("クライアント"))
                  + QStringLiteral("ユーザーで接続しています。詳細はオンラインヘルプを参照してください。"));
}

void frmMain::visibleControl(bool blnRoom)
{
    const bool host = session().gblnHost == vbTrue;
    if (blnRoom) {
        lstRooms->hide();
        rtfRoomChat->show();
        lblRoomPlayerList->setText(QStringLiteral("部屋内のプレイヤー(") + m().mstrRoomName + u')');
        lblRoom->setText(QStringLiteral("部屋チャット(") + m().mstrRoomName + u')');
        txtRoomChat->setEnabled(true);
        txtRoomChat->setToolTip(
            QStringLiteral("送信する文字列を入力してEnterを押してください。部屋内のユーザーのみに送信されます。"));
        cmdEnter->hide();
        cmdLeave->show();
        lstRoomPlayers->setToolTip(QStringLiteral("この部屋に参加しているユーザーのリストが表示されます。"));
        rtfRoomChat->setToolTip(QStringLiteral("部屋内のチャットが表示されます"));
        if (host) {
            setButtonPicture(cmdLeave, imgDeleteEnable->pixmap(), imgDeleteDisable->pixmap());
            cmdLeave->setToolTip(QStringLiteral("部屋を削除します"));
            cmdStart->show();
            setCommandEnabled(cmdStart, false);
            cmdStart->setToolTip(QStringLiteral("この部屋に参加しているクライアントユーザーと対戦を始めます。"));
            setStatusText(QStringLiteral("クライアントユーザーがこの部屋に参加すればゲームを開始することができます。"));
        } else {
            setButtonPicture(cmdLeave, imgLeaveEnable->pixmap(), imgLeaveDisable->pixmap());
            cmdLeave->setToolTip(QStringLiteral("現在参加している部屋から抜けます"));
            cmdStart->hide();
            setStatusText(QStringLiteral("サーバーユーザーが「開始」ボタンを押すと対戦ゲームを開始することができます。"));
        }
        return;
    }
    lstRooms->show();
    rtfRoomChat->hide();
    lblRoomPlayerList->setText(QStringLiteral("部屋内のプレイヤー"));
    lblRoom->setText(QStringLiteral("部屋リスト"));
    txtRoomChat->setEnabled(false);
    cmdEnter->show();
    cmdLeave->hide();
    txtLobbyChat->setToolTip(
        QStringLiteral("送信する文字列を入力してEnterを押してください。ロビーに参加している全てのユーザーに送信されます。"));
    lstPlayers->setToolTip(QStringLiteral("ロビーに参加しているユーザーのリストが表示されます"));
    rtfLobbyChat->setToolTip(QStringLiteral("ロビー内のチャットが表示されます"));
    lstRoomPlayers->setToolTip(QStringLiteral(
        "部屋リストから存在する部屋をクリックすると、その部屋に参加しているユーザーのリストが表示されます。"));
    lstRooms->setToolTip(QStringLiteral("サーバーユーザーにより現在作成されている部屋のリストが表示されます。"));
    if (host) {
        setButtonPicture(cmdEnter, imgCreateEnable->pixmap(), imgCreateDisable->pixmap());
        cmdEnter->setToolTip(QStringLiteral(
            "部屋の作成を行います。対戦を始めるにはまずサーバーユーザーが部屋を作成する必要があります。"));
    } else {
        setButtonPicture(cmdEnter, imgEnterEnable->pixmap(), imgEnterDisable->pixmap());
        cmdEnter->setToolTip(QStringLiteral(
            "作成されている部屋に参加します。部屋一覧より参加する部屋を選択してクリックしてください。"));
    }
    m_pendingRoom.clear();
    rtfRoomChat->clear();
    lstRoomPlayers->clear();
    cmdStart->hide();
}

bool frmMain::isRoomMode() const
{
    return !rtfRoomChat->isHidden();
}

void frmMain::setStatusText(const QString &text)
{
    m_panelText->setText(text);
}

QString frmMain::statusText() const
{
    return m_panelText->text();
}

void frmMain::setButtonPicture(QToolButton *button, const QPixmap &picture, const QPixmap &disabledPicture)
{
    QIcon icon;
    icon.addPixmap(picture, QIcon::Normal);
    // Given explicitly, so the disabled look is ours and not a greyed copy.
    icon.addPixmap(disabledPicture, QIcon::Disabled);
    button->setIcon(icon);
}

int frmMain::appendChat(QPlainTextEdit *box, const QString &line)
{
    QStringList &pending = box == rtfRoomChat ? m_pendingRoom : m_pendingLobby;
    const int before = std::min<int>(kChatLines, box->blockCount() - (box->document()->isEmpty() ? 1 : 0)
                                                     + int(pending.size()));
    pending.append(line);
    // Lines that the box would push out at once need not go in at all.
    if (pending.size() > kChatLines)
        pending.removeFirst();
    if (!m_flushQueued) {
        m_flushQueued = true;
        // Queued at normal priority: runs before the repaint the box asks for.
        QMetaObject::invokeMethod(this, &frmMain::flushChat, Qt::QueuedConnection);
    }
    return before;
}

void frmMain::flushChat()
{
    m_flushQueued = false;
    for (QPlainTextEdit *box : {rtfLobbyChat, rtfRoomChat}) {
        QStringList &pending = box == rtfRoomChat ? m_pendingRoom : m_pendingLobby;
        if (pending.isEmpty())
            continue;
        QTextDocument *doc = box->document();
        QTextCursor end(doc);
        end.beginEditBlock();
        end.movePosition(QTextCursor::End);
        bool first = doc->isEmpty();
        for (const QString &line : std::as_const(pending)) {
            if (!first)
                end.insertBlock();
            first = false;
            end.insertText(line);
        }
        // The document drops its oldest blocks beyond kChatLines here.
        end.endEditBlock();
        pending.clear();
        QScrollBar *bar = box->verticalScrollBar();
        bar->setValue(bar->maximum());
    }
}

void frmMain::addChatPhrases(const QStringList &phrases)
{
    for (QComboBox *input : {txtLobbyChat, txtRoomChat}) {
        // A combo box with no current phrase would make the first one added
        // current and overwrite what the user is typing.
        const bool nonePicked = input->currentIndex() < 0;
        const QString typed = input->currentText();
        input->addItems(phrases);
        if (nonePicked) {
            input->setCurrentIndex(-1);
            input->setEditText(typed);
        }
    }
}

void frmMain::showEvent(QShowEvent *event)
{
    Form::showEvent(event);
    updateClock();
    m_clock->start();
}

void frmMain::hideEvent(QHideEvent *event)
{
    m_clock->stop();
    Form::hideEvent(event);
}

void frmMain::updateClock()
{
    const QDateTime now = QDateTime::currentDateTime();
    m_panelDate->setText(now.toString(QStringLiteral("yyyy/MM/dd")));
    m_panelTime->setText(now.toString(QStringLiteral("H:mm")));
}
