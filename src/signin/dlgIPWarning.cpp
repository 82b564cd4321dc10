#include "dlgIPWarning.h"

#include "platform/dialogParts.h"
#include "frmStatus.h"
#include "session/desktop.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

using dialog::twips;

dlgIPWarning::dlgIPWarning()
{
    setWindowTitle(QStringLiteral("ロビークライアントからの警告"));
    dialog::setDialogFrame(this);
    setFixedSize(twips(5550), twips(2835));

    lblText = new QLabel(this);
    lblText->setObjectName(QStringLiteral("lblText"));
    lblText->setGeometry(twips(120), twips(120), twips(5175), twips(2055));
    lblText->setTextFormat(Qt::PlainText);
    lblText->setWordWrap(true);
    lblText->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    chkVisible = new QCheckBox(QStringLiteral("次回よりこのメッセージを表示しない"), this);
    chkVisible->setObjectName(QStringLiteral("chkVisible"));
    chkVisible->setGeometry(twips(120), twips(2400), twips(3375), twips(375));

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(twips(4200), twips(2400), twips(1215), twips(375));
    connect(OKButton, &QPushButton::clicked, this, &dlgIPWarning::OKButton_Click);

    setTabOrder(OKButton, chkVisible);
    OKButton->setFocus();
}

void dlgIPWarning::Form_Load()
{
    lobbyModule::setTopmost(this);
    const QString crlf = QStringLiteral("\r\n");
    dialog::growToFit(lblText, QStringLiteral("お使いのコンピューターではプライベートアドレス「") + frmStatus::connectionAddress()
                     + QStringLiteral("」が使用されており、インターネットのユーザーと対戦を行うことができません。") + crlf
                     + QStringLiteral("対戦を行うにはお使いのコンピューターがインターネット上にグローバルアドレスを使用して接続されいてる必要があります。") + crlf
                     + QStringLiteral("モデムを使用されているユーザーはダイアルアップでインターネットに接続されているか確認してください。") + crlf
                     + QStringLiteral("ルーターを使用して NAT 等の設定を行っているユーザーはプライベートアドレスを使用しても設定により対戦できる場合があります。") + crlf
                     + QStringLiteral("詳しくはお使いのルーターのマニュアルをご参照ください。") + crlf + QStringLiteral(" "));
}

void dlgIPWarning::showEvent(QShowEvent *event)
{
    dialog::centreOnOwner(this);
    Form::showEvent(event);
}

void dlgIPWarning::OKButton_Click()
{
    hide();
}
