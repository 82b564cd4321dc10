#include "dlgInputUserPas.h"

#include "platform/dialogParts.h"
#include "wire/rules.h"
#include "platform/keyfilter.h"
#include "session/desktop.h"
#include "session/seams.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

QLineEdit *box(QWidget *parent, const char *name, int maxLength, const QString &tip)
{
    auto *b = new QLineEdit(parent);
    b->setObjectName(QString::fromLatin1(name));
    if (maxLength > 0)
        b->setMaxLength(maxLength);
    b->setToolTip(tip);
    return b;
}

QLabel *label(QWidget *parent, const char *name, const QString &text, const QString &tip)
{
    auto *l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setToolTip(tip);
    return l;
}

} // namespace

namespace limits = protocol::limits;

dlgInputUserPas::dlgInputUserPas()
{
    setWindowTitle(QStringLiteral("QorChat ロビーアカウントの登録"));
    dialog::setDialogFrame(this);

    lblExplain = new QLabel(
        QStringLiteral("ロビーのアカウントの登録を行います。各テキストボックスに入力しOKボタンをクリックしてください。"
                       "「ユーザーID」、「パスワード」は３２文字まで、「コメント」は８０文字まで使用できます。\n"
                       "以前に登録を行い有効なアカウントを持っている場合は、「既存のIDを使用する」チェックボックスをクリックしてください。"),
        this);
    lblExplain->setObjectName(QStringLiteral("lblExplain"));
    lblExplain->setWordWrap(true);

    const QString passwordTip = QStringLiteral("任意のパスワードを入力します。");
    const QString confirmTip = QStringLiteral("上の「パスワード」に入力したものと同じものを入力してください。");
    const QString commentTip = QStringLiteral("任意のコメントを入力します。例：将棋５段等");
    const QString emailTip = QStringLiteral("お使いのE-Mail アドレスを入力してください。他のユーザーには公開されません。"
                                            "ロビーサーバーの更新情報等が送付される場合があります。");

    lblUser = label(this, "lblUser", QStringLiteral("ユーザーID"),
                    QStringLiteral("チャットで使用する名前を入力します。すでに登録されている名前は使用できません。"));
    txtUser = box(this, "txtUser", limits::kUserIdBytes,
                  QStringLiteral("チャットで使用する名前を英数字及び日本語で入力してください。すでに登録されている名前は使用できません。"));
    lblPassword = label(this, "lblPassword", QStringLiteral("パスワード"), passwordTip);
    txtPassword = box(this, "txtPassword", limits::kPasswordBytes, passwordTip);
    lblPasswordConfirm = label(this, "lblPasswordConfirm", QStringLiteral("パスワードの確認"), confirmTip);
    txtPasswordConfirm = box(this, "txtPasswordConfirm", limits::kPasswordBytes, confirmTip);
    lblComment = label(this, "lblComment", QStringLiteral("コメント"), commentTip);
    txtComment = box(this, "txtComment", limits::kCommentBytes, commentTip);
    lblEmail = label(this, "lblEmail", QStringLiteral("E-Mail アドレス"), emailTip);
    txtEmail = box(this, "txtEmail", 0, emailTip);
    dialog::makePasswordBox(txtPassword);
    dialog::makePasswordBox(txtPasswordConfirm);

    // The password goes into a command line between other fields, so it cannot
    // hold a space.
    KeyFilter::install(txtUser, {keyRules::userIdChar(), keyRules::dependentChar(), keyRules::byteLength(limits::kUserIdBytes)});
    KeyFilter::install(txtPassword, {keyRules::noSpace(), keyRules::byteLength(limits::kPasswordBytes)});
    KeyFilter::install(txtPasswordConfirm, {keyRules::noSpace(), keyRules::byteLength(limits::kPasswordBytes)});
    KeyFilter::install(txtComment, {keyRules::dependentChar(), keyRules::byteLength(limits::kCommentBytes)});
    KeyFilter::install(txtEmail, {keyRules::dependentChar(), keyRules::byteLength(limits::kEmailBytes)});

    chkUseOldAccount = new QCheckBox(QStringLiteral("既存のIDを使用する"), this);
    chkUseOldAccount->setObjectName(QStringLiteral("chkUseOldAccount"));
    connect(chkUseOldAccount, &QCheckBox::toggled, this, &dlgInputUserPas::chkUseOldAccount_Click);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    // Enter in a box must not close the form.
    OKButton->setAutoDefault(false);
    connect(OKButton, &QPushButton::clicked, this, &dlgInputUserPas::OKButton_Click);

    auto *grid = new QGridLayout(this);
    grid->addWidget(lblExplain, 0, 0, 1, 2);
    int row = 1;
    for (auto [l, b] : {std::pair{lblUser, txtUser}, {lblPassword, txtPassword}, {lblPasswordConfirm, txtPasswordConfirm},
                        {lblComment, txtComment}, {lblEmail, txtEmail}}) {
        grid->addWidget(l, row, 0);
        grid->addWidget(b, row, 1);
        ++row;
    }
    grid->addWidget(chkUseOldAccount, row, 1);
    grid->addWidget(OKButton, row + 1, 1, Qt::AlignRight);
    grid->setColumnMinimumWidth(1, dialog::twips(4500));
    lblExplain->setFixedWidth(dialog::twips(6600));
    setExplanation(lblExplain->text());
    grid->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(txtUser, txtPassword);
    setTabOrder(txtPassword, txtPasswordConfirm);
    setTabOrder(txtPasswordConfirm, txtComment);
    setTabOrder(txtComment, txtEmail);
    setTabOrder(txtEmail, chkUseOldAccount);
    setTabOrder(chkUseOldAccount, OKButton);
}

void dlgInputUserPas::setExplanation(const QString &text)
{
    dialog::fitLabel(lblExplain, text, dialog::twips(6600));
}

void dlgInputUserPas::Form_Load()
{
    m().blnPressOK = false;
    lobbyModule::setTopmost(this);
}

void dlgInputUserPas::showEvent(QShowEvent *event)
{
    dialog::centreOnOwner(this);
    Form::showEvent(event);
    // In a change of details the user ID cannot be edited.
    if (txtUser->isEnabled())
        txtUser->setFocus();
    else
        txtPassword->setFocus();
}

bool dlgInputUserPas::CheckBadChar() const
{
    return protocol::hasUserIdSymbol(txtUser->text());
}

bool dlgInputUserPas::checkInput()
{
    auto refuse = [](const char *text) {
        platform::msgBox(QString::fromUtf8(text), platform::mb::Exclamation);
        return false;
    };
    const QString email = txtEmail->text();
    if (txtUser->text().isEmpty())
        return refuse("ユーザーIDを入力してください");
    if (!protocol::passwordLongEnough(txtPassword->text()))
        return refuse("5文字以上のパスワードを入力してください");
    if (CheckBadChar())
        return refuse("ユーザーID には '_'(アンダーバー)を除く半角記号、スペースは使えません");
    if (txtPasswordConfirm->text() != txtPassword->text())
        return refuse("パスワードの確認に入力されたパスワードが異なっています");
    if (email.isEmpty())
        return refuse("E-Mail アドレスを入力してください");
    if (!protocol::emailShaped(email))
        return refuse("不正な E-Mail アドレスです");
    return true;
}

void dlgInputUserPas::chkUseOldAccount_Click()
{
    txtComment->setEnabled(!chkUseOldAccount->isChecked());
}

void dlgInputUserPas::OKButton_Click()
{
    if (!checkInput())
        return;
    m().blnPressOK = true;
    hide();
}
