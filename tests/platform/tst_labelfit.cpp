// Every label of every window shows its whole text: at 96 dpi and at 120 dpi
// (texts and places both a quarter larger), a line breaks only where the text
// allows it (after a punctuation mark or a space, before an opening bracket),
// and the text keeps clear of its neighbours.
#include "about/frmAbout.h"
#include "lobby/dlgInputRoomName.h"
#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "phrases/frmEditChat.h"
#include "platform/dialogParts.h"
#include "signin/dlgIPWarning.h"
#include "account/dlgInputUserPas.h"
#include "account/dlgLicence.h"
#include "signin/dlgLogin.h"
#include "signin/frmStatus.h"
#include "stats/dlgChart.h"
#include "session/lobbyModule.h"
#include "support/fakeplatform.h"
#include "support/testenv.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLayout>
#include <QScopeGuard>
#include <QStyle>
#include <QTest>

#include <functional>

namespace {

// Clear space between a label's text and any other control, in pixels.
constexpr int kGap = 2;

QRect textRect(const QLabel *label)
{
    const QFontMetrics fm(label->font());
    const QStringList lines = label->text().split(u'\n');
    int width = 0;
    for (const QString &line : lines)
        width = std::max(width, fm.horizontalAdvance(line));
    const QSize need(width, fm.lineSpacing() * int(lines.size()) - fm.leading());
    QRect r = QStyle::alignedRect(label->layoutDirection(), label->alignment(), need, label->contentsRect());
    return r.translated(label->mapTo(label->window(), QPoint(0, 0)));
}

// What is wrong with this label, or "".
QString labelFault(const QLabel *label)
{
    const QString text = label->text();
    const QFontMetrics fm(label->font());
    const QRect room = label->contentsRect();
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (fm.horizontalAdvance(lines.at(i)) > room.width())
            return QStringLiteral("line \"%1\" needs %2 px, has %3").arg(lines.at(i)).arg(fm.horizontalAdvance(lines.at(i))).arg(room.width());
        if (i + 1 < lines.size() && !lines.at(i).isEmpty() && !lines.at(i + 1).isEmpty()
            && !dialog::mayBreakBetween(lines.at(i).back(), lines.at(i + 1).front()))
            return QStringLiteral("breaks inside a word after \"%1\"").arg(lines.at(i));
    }
    const int height = fm.lineSpacing() * int(lines.size()) - fm.leading();
    if (height > room.height())
        return QStringLiteral("%1 lines need %2 px high, has %3").arg(lines.size()).arg(height).arg(room.height());
    const QRect mine = textRect(label).adjusted(-kGap, -kGap, kGap, kGap);
    const QWidget *window = label->window();
    for (const QWidget *other : window->findChildren<QWidget *>()) {
        if (other == label || !other->isVisibleTo(window) || other->isAncestorOf(label) || label->isAncestorOf(other)
            || other->objectName().isEmpty() || other->objectName().startsWith(QLatin1String("qt_"))
            || other->objectName().startsWith(QLatin1String("lin")))
            continue;
        // Labels overlap by design where one's text ends early: their texts count.
        const auto *otherLabel = qobject_cast<const QLabel *>(other);
        const QRect theirs = otherLabel ? textRect(otherLabel) : QRect(other->mapTo(window, QPoint(0, 0)), other->size());
        if (mine.intersects(theirs))
            return QStringLiteral("text touches %1").arg(other->objectName());
    }
    return QString();
}

} // namespace

class LabelFitTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void breaks_data();
    void breaks();
    void labels_data();
    void labels();
};

void LabelFitTest::init()
{
    session().reset();
    frmCom::setTickInterval(1);
}

void LabelFitTest::cleanup()
{
    Forms::resetAll();
    frmCom::resetForTests();
    dialog::setDisplayScaleForTests(0);
}

using Opener = std::function<QWidget *()>;
Q_DECLARE_METATYPE(Opener)

void LabelFitTest::breaks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("allowed"); // positions where a line may start
    QTest::newRow("katakana word") << "クライアント" << QList<int>{};
    QTest::newRow("kana ending") << "ください" << QList<int>{};
    QTest::newRow("phrases") << "部屋の名前を入力" << QList<int>{3, 6};
    QTest::newRow("punctuation and brackets") << "はい、「OK」を" << QList<int>{3, 7};
    QTest::newRow("address") << "アドレス192.168.0.1が" << QList<int>{};
    QTest::newRow("long vowel") << "のーと" << QList<int>{};
}

void LabelFitTest::breaks()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, allowed);
    QList<int> found;
    for (int i = 1; i < text.size(); ++i)
        if (dialog::mayBreakBetween(text.at(i - 1), text.at(i)))
            found << i;
    QCOMPARE(found, allowed);
}

void LabelFitTest::labels_data()
{
    QTest::addColumn<qreal>("scale");
    QTest::addColumn<Opener>("open");
    const QList<std::pair<const char *, Opener>> windows{
        {"frmStatus", [] {
             auto *w = Forms::get<frmStatus>();
             w->lblStatus->setText(QStringLiteral("チャットデータ取得中..."));
             return w;
         }},
        {"dlgLogin", [] { return Forms::get<dlgLogin>(); }},
        {"dlgInputUserPas", [] { return Forms::get<dlgInputUserPas>(); }},
        {"dlgInputUserPas change", [] {
             auto *w = Forms::get<dlgInputUserPas>();
             w->setExplanation(QStringLiteral("変更するパスワード、コメント、E-Mail アドレスを入力して OK ボタンをクリックしてください。"));
             w->chkUseOldAccount->hide();
             return w;
         }},
        {"dlgLicence", [] { return Forms::get<dlgLicence>(); }},
        {"dlgIPWarning", [] {
             frmStatus::setConnectionAddressForTests(QStringLiteral("192.168.100.200"));
             return Forms::get<dlgIPWarning>();
         }},
        {"frmMain client lobby", [] {
             session().gblnHost = vbFalse;
             return Forms::get<frmMain>();
         }},
        {"frmMain host room", [] {
             session().gblnHost = vbTrue;
             frmMain::m().mstrRoomName = QStringLiteral("ＡＢＣＤＥＦＧＨＩＪＫＬＭＮＯＰ");
             auto *w = Forms::get<frmMain>();
             w->visibleControl(true);
             return w;
         }},
        {"dlgInputRoomName", [] { return Forms::get<dlgInputRoomName>(); }},
        {"dlgChart", [] {
             auto *w = Forms::get<dlgChart>();
             w->fetchFirstView(); // no server: the failure text
             return w;
         }},
        {"frmEditChat", [] { return Forms::get<frmEditChat>(); }},
        {"frmAbout", [] { return Forms::get<frmAbout>(); }},
    };
    for (const qreal scale : {1.0, 1.25})
        for (const auto &[name, open] : windows)
            QTest::addRow("%s at %d dpi", name, int(scale * 96)) << scale << open;
}

void LabelFitTest::labels()
{
    QFETCH(qreal, scale);
    QFETCH(Opener, open);
    TestEnv env;
    FakePlatform fake;
    const QFont standard = QApplication::font();
    QFont font = standard;
    font.setPointSizeF(standard.pointSizeF() * scale);
    QApplication::setFont(font);
    dialog::setDisplayScaleForTests(scale);
    const auto restore = qScopeGuard([&] { QApplication::setFont(standard); });

    QWidget *window = open();
    // The status window signs in when it shows: its layout is enough here.
    if (window->objectName() == QLatin1String("frmStatus")) {
        window->ensurePolished();
        window->layout()->activate();
    } else {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    QStringList faults;
    int checked = 0;
    for (const QLabel *label : window->findChildren<QLabel *>()) {
        if (!label->isVisibleTo(window) || label->text().isEmpty() || label->objectName().startsWith(QLatin1String("qt_")))
            continue;
        ++checked;
        if (const QString fault = labelFault(label); !fault.isEmpty())
            faults << label->objectName() + QStringLiteral(": ") + fault;
    }
    QVERIFY(checked > 0);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("\n"))));
}

QTEST_MAIN(LabelFitTest)
#include "tst_labelfit.moc"
