#include "dlgInputRoomName.h"
#include "platform/dialogParts.h"

#include "platform/keyfilter.h"
#include "session/desktop.h"
#include "session/keyChecks.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
QRect twips(int left, int top, int width, int height)
{
    return QRect(dialog::twips(left), dialog::twips(top), dialog::twips(width), dialog::twips(height));
}
} // namespace

dlgInputRoomName::dlgInputRoomName()
{
    setWindowTitle(QStringLiteral("部屋の名前"));
    dialog::setDialogFrame(this);
    setFixedSize(dialog::twips(3270), dialog::twips(1755));

    lblMessage = new QLabel(QStringLiteral("作成する部屋の名前を入力してください"), this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    lblMessage->setGeometry(twips(120, 120, 3015, 615));
    lblMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    dialog::growToFit(lblMessage, lblMessage->text());

    txtName = new QLineEdit(this);
    txtName->setObjectName(QStringLiteral("txtName"));
    txtName->setGeometry(twips(120, 600, 3015, 375));
    txtName->setMaxLength(32);
    KeyFilter::install(txtName, {keyRules::dependentChar(), keyRules::byteLength(kMaxNameBytes), keyRules::noControlChar()});
    // Enter is judged here, after the key filter saw every character before it.
    txtName->installEventFilter(this);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(twips(120, 1200, 1215, 375));
    CancelButton = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setGeometry(twips(1920, 1200, 1215, 375));
    // Enter in the box has rules of its own; no button may take it.
    OKButton->setAutoDefault(false);
    CancelButton->setAutoDefault(false);
    connect(OKButton, &QPushButton::clicked, this, &dlgInputRoomName::OKButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, &dlgInputRoomName::CancelButton_Click);

    setTabOrder(OKButton, CancelButton);
    setTabOrder(CancelButton, txtName);
}

void dlgInputRoomName::Form_Load()
{
    m().mblnOK = false;
    lobbyModule::setTopmost(this);
}

bool dlgInputRoomName::Form_QueryUnload()
{
    CancelButton_Click();
    return false;
}

void dlgInputRoomName::showEvent(QShowEvent *event)
{
    dialog::centreOnOwner(this);
    Form::showEvent(event);
    txtName->setFocus();
}

bool dlgInputRoomName::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == txtName && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            txtName_Enter();
            return true;
        }
    }
    return Form::eventFilter(watched, event);
}

void dlgInputRoomName::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        CancelButton_Click();
        return;
    }
    Form::keyPressEvent(event);
}

void dlgInputRoomName::txtName_Enter()
{
    // Enter passes the same filters as any key: a full box refuses it too.
    qint16 key = 13;
    lobbyModule::filterDependentChar(key);
    lobbyModule::limitByteLength(key, txtName->text(), txtName->selectedText().size(), kMaxNameBytes);
    if (key != 13)
        return;
    m().mblnOK = true;
    hide();
}

void dlgInputRoomName::OKButton_Click()
{
    m().mblnOK = true;
    hide();
}

void dlgInputRoomName::CancelButton_Click()
{
    m().mblnOK = false;
    hide();
}
