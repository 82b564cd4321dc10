#include "dlgLogin.h"

#include "platform/dialogParts.h"
#include "platform/keyfilter.h"
#include "session/desktop.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

dlgLogin::dlgLogin()
{
    setWindowTitle(QStringLiteral("ログイン"));
    dialog::setDialogFrame(this);

    lblExplain = new QLabel(QStringLiteral("ユーザーID、パスワードを確認しOKボタンをクリックしてください。"), this);
    lblExplain->setObjectName(QStringLiteral("lblExplain"));
    lblExplain->setWordWrap(true);

    const QString userTip = QStringLiteral("チャットで使用する名前を入力します。すでに登録されている名前は使用できません。");
    lblUser = new QLabel(QStringLiteral("ユーザーID"), this);
    lblUser->setObjectName(QStringLiteral("lblUser"));
    lblUser->setToolTip(userTip);
    txtUser = new QLineEdit(this);
    txtUser->setObjectName(QStringLiteral("txtUser"));
    txtUser->setMaxLength(32);
    KeyFilter::install(txtUser, {keyRules::dependentChar(), keyRules::byteLength(32)});

    lblPassword = new QLabel(QStringLiteral("パスワード"), this);
    lblPassword->setObjectName(QStringLiteral("lblPassword"));
    lblPassword->setToolTip(QStringLiteral("任意のパスワードを入力します。"));
    txtPassword = new QLineEdit(this);
    txtPassword->setObjectName(QStringLiteral("txtPassword"));
    txtPassword->setMaxLength(32);
    dialog::makePasswordBox(txtPassword);
    KeyFilter::install(txtPassword, {keyRules::byteLength(32)});

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    // Enter in a box must not close the dialog.
    OKButton->setAutoDefault(false);
    connect(OKButton, &QPushButton::clicked, this, &dlgLogin::OKButton_Click);

    auto *grid = new QGridLayout(this);
    grid->addWidget(lblExplain, 0, 0, 1, 2);
    grid->addWidget(lblUser, 1, 0);
    grid->addWidget(txtUser, 1, 1);
    grid->addWidget(lblPassword, 2, 0);
    grid->addWidget(txtPassword, 2, 1);
    grid->addWidget(OKButton, 3, 1, Qt::AlignRight);
    grid->setColumnMinimumWidth(1, dialog::twips(3000));
    grid->setSizeConstraint(QLayout::SetFixedSize);
    dialog::fitLabel(lblExplain, lblExplain->text(), dialog::twips(4200));

    setTabOrder(OKButton, txtUser);
    setTabOrder(txtUser, txtPassword);
    OKButton->setFocus();
}

void dlgLogin::Form_Load()
{
    lobbyModule::setTopmost(this);
}

void dlgLogin::showEvent(QShowEvent *event)
{
    dialog::centreOnOwner(this);
    Form::showEvent(event);
}

void dlgLogin::OKButton_Click()
{
    hide();
}
