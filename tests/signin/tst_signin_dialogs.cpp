// The sign-in dialogs on their own: key filters (typed, committed by an input
// method, pasted), the account form's checks, and what each dialog shows.
#include "platform/forms.h"
#include "platform/keyfilter.h"
#include "session/lobbyModule.h"
#include "signin/dlgIPWarning.h"
#include "account/dlgInputUserPas.h"
#include "account/dlgLicence.h"
#include "signin/dlgLogin.h"
#include "signin/frmStatus.h"
#include "support/fakeplatform.h"
#include "support/typing.h"
#include "support/testenv.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStyle>
#include <QPushButton>
#include <QTest>

#include <memory>

namespace {

const QString kUserIdMessage = QStringLiteral("ユーザーID には '_'(アンダーバー)を除く半角記号、スペースは使えません");

// Text committed by an input method in one go.
void commitInto(QLineEdit *box, const QString &text)
{
    QInputMethodEvent e;
    e.setCommitString(text);
    QApplication::sendEvent(box, &e);
}

// The widget the Tab key moves to from w.
QWidget *nextTabStop(QWidget *w)
{
    for (QWidget *n = w->nextInFocusChain(); n && n != w; n = n->nextInFocusChain())
        if ((n->focusPolicy() & Qt::TabFocus) && n->isVisibleTo(w->window()) && n->isEnabled())
            return n;
    return nullptr;
}

void pasteInto(QLineEdit *box, const QString &text)
{
    QApplication::clipboard()->setText(text);
    box->paste();
}

} // namespace

class SigninDialogsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<FakePlatform> m_fake;

private slots:
    void init()
    {
        m_env = std::make_unique<TestEnv>();
        m_fake = std::make_unique<FakePlatform>();
        session().reset();
    }
    void cleanup()
    {
        Forms::resetAll();
        frmStatus::setConnectionAddressForTests(QString());
        m_fake.reset();
        m_env.reset();
    }

    void userIdKeys_data();
    void userIdKeys();
    void byteLimit_data();
    void byteLimit();
    void pastedText_data();
    void pastedText();
    void passwordBoxes();
    void loginDialog();
    void checkInput_data();
    void checkInput();
    void useOldAccountGreysComment();
    void changeOfDetailsFocus();
    void licence();
    void ipWarning();
};

// Typed and committed characters pass the filters one at a time; a refused one
// never reaches the box.
void SigninDialogsTest::userIdKeys_data()
{
    QTest::addColumn<bool>("commit");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("idMessages");
    QTest::addColumn<int>("beeps");

    for (bool commit : {false, true}) {
        const char *how = commit ? "committed" : "typed";
        QTest::addRow("%s: letters, digits, underscore", how) << commit << "Taro_99" << "Taro_99" << 0 << 0;
        QTest::addRow("%s: symbols refused with the message", how) << commit << "a-b@c d~e`f" << "abcdef" << 5 << 0;
        QTest::addRow("%s: kana pass", how) << commit << "たろう" << "たろう" << 0 << 0;
        // U+2460 is 0x8740, a machine-dependent character: refused silently.
        QTest::addRow("%s: dependent character", how) << commit << QString::fromUtf8("た①ろ") << "たろ" << 0 << 0;
        // No code page 932 form: it would arrive as '?', so the box refuses it.
        QTest::addRow("%s: no code page 932 form", how) << commit << QString::fromUtf8("aéb") << "ab" << 0 << 1;
    }
}

void SigninDialogsTest::userIdKeys()
{
    QFETCH(bool, commit);
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QFETCH(int, idMessages);
    QFETCH(int, beeps);

    auto *form = Forms::get<dlgInputUserPas>();
    if (commit)
        commitInto(form->txtUser, input);
    else
        typeInto(form->txtUser, input);
    QCOMPARE(form->txtUser->text(), expected);
    QCOMPARE(m_fake->messages.size(), idMessages);
    for (const auto &m : m_fake->messages) {
        QCOMPARE(m.text, kUserIdMessage);
        QCOMPARE(m.style, platform::mb::Information);
    }
    QCOMPARE(m_fake->beeps, beeps);
}

void SigninDialogsTest::byteLimit_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("maxBytes");
    for (const char *b : {"txtUser", "txtPassword"})
        QTest::addRow("dlgLogin %s", b) << "dlgLogin" << b << 32;
    for (const char *b : {"txtUser", "txtPassword", "txtPasswordConfirm"})
        QTest::addRow("dlgInputUserPas %s", b) << "dlgInputUserPas" << b << 32;
    QTest::addRow("dlgInputUserPas txtComment") << "dlgInputUserPas" << "txtComment" << 80;
    QTest::addRow("dlgInputUserPas txtEmail") << "dlgInputUserPas" << "txtEmail" << 128;
}

void SigninDialogsTest::byteLimit()
{
    QFETCH(QString, window);
    QFETCH(QString, box);
    QFETCH(int, maxBytes);

    QWidget *w = window == QLatin1String("dlgLogin") ? static_cast<QWidget *>(Forms::get<dlgLogin>())
                                                      : static_cast<QWidget *>(Forms::get<dlgInputUserPas>());
    auto *edit = w->findChild<QLineEdit *>(box);
    QVERIFY(edit);
    const bool ime = edit->testAttribute(Qt::WA_InputMethodEnabled);

    // One byte left: a double-byte character does not fit, a single-byte one does.
    edit->setText(QString(maxBytes - 1, u'a'));
    if (ime)
        commitInto(edit, QStringLiteral("あ"));
    else
        typeInto(edit, QStringLiteral("あ"));
    QCOMPARE(edit->text().size(), maxBytes - 1);
    QCOMPARE(m_fake->beeps, 1);
    typeInto(edit, QStringLiteral("b"));
    QCOMPARE(edit->text().size(), maxBytes);

    // Full: nothing more, but a selection makes room.
    typeInto(edit, QStringLiteral("c"));
    QCOMPARE(edit->text().size(), maxBytes);
    QCOMPARE(m_fake->beeps, 2);
    edit->setSelection(0, 4);
    typeInto(edit, QStringLiteral("d"));
    QCOMPARE(edit->text(), QStringLiteral("d") + QString(maxBytes - 5, u'a') + QStringLiteral("b"));

    // Backspace always works.
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text().size(), maxBytes - 4);
}

// Text that did not come key by key: the byte limits and the refused characters
// still hold; the user ID's symbols are left to the check on OK.
void SigninDialogsTest::pastedText_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("expected");

    const QString kanji17 = QString(17, QChar(0x6F22)); // 34 bytes
    QTest::newRow("over the byte limit is refused") << "txtUser" << "ab" << kanji17 << "ab";
    QTest::newRow("fits exactly") << "txtUser" << "" << QString(16, QChar(0x6F22)) << QString(16, QChar(0x6F22));
    QTest::newRow("symbols pass for now") << "txtUser" << "" << "ta-ro" << "ta-ro";
    QTest::newRow("dependent character refused") << "txtComment" << "x" << QString::fromUtf8("a①b") << "x";
    QTest::newRow("no code page 932 form refused") << "txtComment" << "x" << QString::fromUtf8("café") << "x";
    QTest::newRow("space in a password refused") << "txtPassword" << "" << "ab cd" << "";
    QTest::newRow("e-mail at 128 bytes") << "txtEmail" << "" << QString(128, u'm') << QString(128, u'm');
    QTest::newRow("e-mail over 128 bytes") << "txtEmail" << "" << QString(129, u'm') << "";
}

void SigninDialogsTest::pastedText()
{
    QFETCH(QString, box);
    QFETCH(QString, before);
    QFETCH(QString, pasted);
    QFETCH(QString, expected);

    auto *edit = Forms::get<dlgInputUserPas>()->findChild<QLineEdit *>(box);
    QVERIFY(edit);
    edit->setText(before);
    edit->end(false);
    pasteInto(edit, pasted);
    QCOMPARE(edit->text(), expected);
    QCOMPARE(m_fake->beeps, expected == before ? 1 : 0);
}

void SigninDialogsTest::passwordBoxes()
{
    auto *form = Forms::get<dlgInputUserPas>();
    auto *login = Forms::get<dlgLogin>();
    for (QLineEdit *box : {form->txtPassword, form->txtPasswordConfirm, login->txtPassword}) {
        QCOMPARE(box->echoMode(), QLineEdit::Password);
        QVERIFY(!box->testAttribute(Qt::WA_InputMethodEnabled));
        QCOMPARE(box->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, box), int('*'));
    }
    // A space would split the registration line's fields.
    typeInto(form->txtPassword, QStringLiteral("ab cd"));
    QCOMPARE(form->txtPassword->text(), QStringLiteral("abcd"));
    QVERIFY(form->txtUser->testAttribute(Qt::WA_InputMethodEnabled));
}

void SigninDialogsTest::loginDialog()
{
    auto *dlg = Forms::get<dlgLogin>();
    dlg->txtUser->setText(QStringLiteral("taro"));
    dlg->show();
    QCOMPARE(dlg->focusWidget(), dlg->OKButton);
    QCOMPARE(nextTabStop(dlg->OKButton), dlg->txtUser);
    QCOMPARE(nextTabStop(dlg->txtUser), dlg->txtPassword);
    QCOMPARE(nextTabStop(dlg->txtPassword), dlg->OKButton);

    // Enter and Escape in a box leave the dialog open.
    dlg->txtUser->setFocus();
    QTest::keyClick(dlg->txtUser, Qt::Key_Return);
    QTest::keyClick(dlg->txtUser, Qt::Key_Escape);
    QVERIFY(dlg->isVisible());

    // OK hides it and keeps what was typed, empty values included.
    dlg->txtUser->clear();
    dlg->OKButton->click();
    QVERIFY(!dlg->isVisible());
    QVERIFY(Forms::isCurrent(dlg));
    QCOMPARE(dlg->txtUser->text(), QString());
}

void SigninDialogsTest::checkInput_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("confirm");
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("message"); // empty: accepted

    const QString bad = QStringLiteral("不正な E-Mail アドレスです");
    QTest::newRow("all good") << "taro_1" << "secret" << "secret" << "taro@example.jp" << "";
    QTest::newRow("japanese user id") << "山田太郎" << "secret" << "secret" << "a@b.c" << "";
    QTest::newRow("empty user wins over short password") << "" << "abc" << "x" << "" << "ユーザーIDを入力してください";
    QTest::newRow("4-character password") << "taro" << "abcd" << "abcd" << "a@b.c" << "5文字以上のパスワードを入力してください";
    QTest::newRow("5-character password") << "taro" << "abcde" << "abcde" << "a@b.c" << "";
    QTest::newRow("short password before bad user id") << "ta ro" << "abc" << "abc" << "" << "5文字以上のパスワードを入力してください";
    for (const char *id : {"ta ro", "ta-ro", "ta.ro", "ta@ro", "ta~ro"})
        QTest::addRow("user id %s", id) << id << "secret" << "secret" << "a@b.c" << kUserIdMessage;
    QTest::newRow("confirmation differs in case") << "taro" << "secret" << "Secret" << "a@b.c" << "パスワードの確認に入力されたパスワードが異なっています";
    QTest::newRow("empty e-mail") << "taro" << "secret" << "secret" << "" << "E-Mail アドレスを入力してください";
    QTest::newRow("e-mail with a space") << "taro" << "secret" << "secret" << "a @b.c" << bad;
    QTest::newRow("e-mail of 3 characters") << "taro" << "secret" << "secret" << "@.a" << bad;
    QTest::newRow("e-mail without dot") << "taro" << "secret" << "secret" << "a@bcd" << bad;
    QTest::newRow("e-mail without at") << "taro" << "secret" << "secret" << "ab.cd" << bad;
    QTest::newRow("e-mail, any order") << "taro" << "secret" << "secret" << ".b@c" << "";
}

void SigninDialogsTest::checkInput()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, confirm);
    QFETCH(QString, email);
    QFETCH(QString, message);

    auto *form = Forms::get<dlgInputUserPas>();
    form->show();
    form->txtUser->setText(user);
    form->txtPassword->setText(password);
    form->txtPasswordConfirm->setText(confirm);
    form->txtEmail->setText(email);
    form->txtComment->setText(QStringLiteral("将棋 ５段"));
    form->OKButton->click();

    if (message.isEmpty()) {
        QVERIFY(m_fake->messages.isEmpty());
        QVERIFY(dlgInputUserPas::m().blnPressOK);
        QVERIFY(!form->isVisible());
    } else {
        QCOMPARE(m_fake->messageTexts(), QStringList{message});
        QCOMPARE(m_fake->messages.front().style, platform::mb::Exclamation);
        QVERIFY(!dlgInputUserPas::m().blnPressOK);
        QVERIFY(form->isVisible());
        QCOMPARE(form->txtUser->text(), user);
    }
}

void SigninDialogsTest::useOldAccountGreysComment()
{
    auto *form = Forms::get<dlgInputUserPas>();
    form->show();
    form->chkUseOldAccount->click();
    QVERIFY(!form->txtComment->isEnabled());
    // The confirmation and the e-mail address are still required.
    form->txtUser->setText(QStringLiteral("taro"));
    form->txtPassword->setText(QStringLiteral("secret"));
    form->OKButton->click();
    QCOMPARE(m_fake->messageTexts(), QStringList{QStringLiteral("パスワードの確認に入力されたパスワードが異なっています")});
    form->chkUseOldAccount->click();
    QVERIFY(form->txtComment->isEnabled());
}

void SigninDialogsTest::changeOfDetailsFocus()
{
    auto *form = Forms::get<dlgInputUserPas>();
    form->show();
    QCOMPARE(form->focusWidget(), form->txtUser);
    form->hide();
    form->txtUser->setEnabled(false);
    form->show();
    QCOMPARE(form->focusWidget(), form->txtPassword);
}

void SigninDialogsTest::licence()
{
    dlgLicence::m().blnAgree = true; // left over from an earlier answer
    auto *dlg = Forms::get<dlgLicence>();
    QVERIFY(!dlgLicence::m().blnAgree);
    const QString text = dlg->txtLicence->toPlainText();
    QVERIFY2(text.size() > 2400 && text.size() < 3000, qPrintable(QString::number(text.size())));
    QVERIFY(text.contains(QStringLiteral("QorChat")));
    QVERIFY(dlg->txtLicence->isReadOnly());
    dlg->show();
    QCOMPARE(dlg->focusWidget(), dlg->txtLicence);
    QCOMPARE(nextTabStop(dlg->txtLicence), dlg->OKButton);

    // Typing changes nothing; the close box leaves the answer at "no".
    QTest::keyClicks(dlg->txtLicence, "abc");
    QCOMPARE(dlg->txtLicence->toPlainText(), text);
    dlg->close();
    QVERIFY(!Forms::isCurrent(dlg));
    QVERIFY(!dlgLicence::m().blnAgree);

    Forms::get<dlgLicence>()->OKButton->click();
    QVERIFY(dlgLicence::m().blnAgree);
    QVERIFY(!Forms::isLoaded(QStringLiteral("dlgLicence")));
}

void SigninDialogsTest::ipWarning()
{
    frmStatus::setConnectionAddressForTests(QStringLiteral("192.168.10.7"));
    auto *dlg = Forms::get<dlgIPWarning>();
    // Lines break where the text may break; each paragraph starts a line.
    const QString text = dlg->lblText->text();
    const QString flat = QString(text).remove(u'\n');
    QVERIFY(flat.startsWith(QStringLiteral("お使いのコンピューターではプライベートアドレス「192.168.10.7」が使用されており")));
    QVERIFY(flat.endsWith(QStringLiteral("ご参照ください。 ")));
    for (const char *paragraph : {"\n対戦を行うには", "\nモデムを", "\nルーターを", "\n詳しくは", "\n "})
        QVERIFY(text.contains(QString::fromUtf8(paragraph)));
    QVERIFY(!dlg->chkVisible->isChecked());
    // Twips places; whatever the font adds to the text's height goes below it.
    const int extra = dlg->height() - 189;
    QVERIFY(extra >= 0);
    QCOMPARE(dlg->width(), 370);
    QCOMPARE(dlg->lblText->geometry(), QRect(8, 8, 345, 137 + extra));
    QVERIFY(dlg->lblText->heightForWidth(345) <= dlg->lblText->height());
    QCOMPARE(dlg->OKButton->geometry(), QRect(280, 160 + extra, 81, 25));
    QCOMPARE(dlg->chkVisible->geometry(), QRect(8, 160 + extra, 225, 25));
    dlg->show();
    QCOMPARE(dlg->focusWidget(), dlg->OKButton);
    dlg->OKButton->click();
    QVERIFY(!dlg->isVisible());
    QVERIFY(Forms::isCurrent(dlg));
}

QTEST_MAIN(SigninDialogsTest)
#include "tst_signin_dialogs.moc"
