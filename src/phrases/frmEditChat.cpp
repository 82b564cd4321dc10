#include "frmEditChat.h"

#include "platform/chatPhrases.h"
#include "session/desktop.h"
#include "session/settingkeys.h"
#include "platform/dialogParts.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using dialog::twips;

namespace {
const QString kSection = QString::fromLatin1(settings::section::ownPhrases);

// "１．" ... "１５．": the number in full-width digits.
QString fullWidthNumber(int n)
{
    QString text;
    for (const QChar c : QString::number(n))
        text += QChar(c.unicode() - u'0' + 0xFF10);
    return text + QChar(0xFF0E);
}
} // namespace

frmEditChat::frmEditChat()
{
    setWindowTitle(QStringLiteral("チャット選択データ編集"));
    dialog::setDialogFrame(this);
    setFixedSize(twips(5175), twips(6555));

    lblComment = new QLabel(this);
    lblComment->setObjectName(QStringLiteral("lblComment"));
    lblComment->setGeometry(twips(120), twips(120), twips(4935), twips(495));
    lblComment->setWordWrap(true);
    lblComment->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblComment->setText(QStringLiteral("チャット入力で上下矢印キーで選ぶ文字列を編集します。"
                                       "頻繁に使う言葉を登録しておけばチャットをすばやく行うことができます。"));

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(twips(2040), twips(6120), twips(1215), twips(375));
    connect(cmdOK, &QPushButton::clicked, this, &frmEditChat::cmdOK_Click);

    QWidget *previous = cmdOK;
    for (int i = 0; i < kPhrases; ++i) {
        const int top = 720 + 360 * i;
        lblChat[i] = new QLabel(fullWidthNumber(i + 1), this);
        lblChat[i]->setObjectName(QStringLiteral("lblChat"));
        lblChat[i]->setProperty("index", i);
        // Full-width numbers in a wider font than the classic one would be cut at
        // 375 twips; the label may take the gap up to its box.
        lblChat[i]->setGeometry(twips(120), twips(top), twips(600), twips(255));
        txtChat[i] = new QLineEdit(this);
        txtChat[i]->setObjectName(QStringLiteral("txtChat"));
        txtChat[i]->setProperty("index", i);
        txtChat[i]->setGeometry(twips(720), twips(top), twips(4335), twips(270));
        setTabOrder(previous, txtChat[i]);
        previous = txtChat[i];
    }
    cmdOK->setFocus();

    // The places hold the comment in the classic dialog font; with a larger one the
    // window grows rather than cut the text off.
    dialog::growToFit(lblComment, lblComment->text());
}

void frmEditChat::Form_Load()
{
    lobbyModule::setTopmost(this);
    for (int n = 1; n <= kPhrases; ++n) {
        const QString phrase = settings::GetSetting(kSection, QString::number(n));
        if (phrase.isEmpty())
            break;
        txtChat[n - 1]->setText(phrase);
    }
}

void frmEditChat::showEvent(QShowEvent *event)
{
    dialog::centreOnOwner(this);
    Form::showEvent(event);
}

void frmEditChat::cmdOK_Click()
{
    QStringList phrases;
    for (const QLineEdit *box : txtChat)
        if (!box->text().isEmpty())
            phrases << box->text();

    emit ChatPhrases::instance().cleared();
    settings::Values values;
    for (qsizetype k = 0; k < phrases.size(); ++k)
        values.append({QString::number(k + 1), phrases.at(k)});
    // The whole list or nothing; the lists below show the edit for this session.
    if (!settings::ReplaceSection(kSection, values))
        settings::tellNotSaved(QStringLiteral("定型文"));
    emit ChatPhrases::instance().added(phrases);
    Forms::unload<frmEditChat>();
}
