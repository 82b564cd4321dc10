// The production message boxes: Japanese captions on every standard button,
// whether Qt's catalogue is there or not, and the answer of the button pressed.
#include "platform/qtplatform.h"
#include "session/seams.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTest>
#include <QTimer>

using namespace platform;

class QtPlatformTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { installQtPlatform(); }
    void captions_data();
    void captions();
};

namespace {
// "はい(&Y)" reads "はい": the mnemonic is the keyboard's, not the text's.
QString plain(QString caption)
{
    caption.remove(QRegularExpression(QStringLiteral("\\(&.\\)$")));
    return caption.remove(u'&');
}
} // namespace

void QtPlatformTest::captions_data()
{
    QTest::addColumn<bool>("catalogue");
    QTest::addColumn<int>("style");
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<QString>("press");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("text");
    const QString reconnect = QStringLiteral("回線が切断されました。再接続しますか？");
    const QList<bool> catalogues{true, false};
    for (const bool catalogue : catalogues) {
        const char *tag = catalogue ? "catalogue" : "fallback";
        QTest::addRow("%s yes/no: no", tag) << catalogue << (mb::Question | mb::YesNo)
                                           << QStringList{"はい", "いいえ"} << "いいえ" << mb::No << reconnect;
        QTest::addRow("%s yes/no: yes", tag) << catalogue << (mb::Exclamation | mb::YesNo)
                                            << QStringList{"はい", "いいえ"} << "はい" << mb::Yes << reconnect;
        QTest::addRow("%s retry/cancel", tag) << catalogue << (mb::Critical | mb::RetryCancel)
                                             << QStringList{"再試行", "キャンセル"} << "キャンセル" << mb::Cancel << reconnect;
        QTest::addRow("%s ok", tag) << catalogue << (mb::Information | mb::OKOnly) << QStringList{"OK"} << "OK" << mb::OK << reconnect;
        QTest::addRow("%s ok/cancel", tag) << catalogue << (mb::Exclamation | mb::OKCancel)
                                          << QStringList{"OK", "キャンセル"} << "OK" << mb::OK << reconnect;
        // A text that quotes a server or a player is shown as it is, never as markup.
        QTest::addRow("%s markup", tag) << catalogue << (mb::Critical | mb::OKOnly) << QStringList{"OK"} << "OK" << mb::OK
                                       << QStringLiteral("ロビーサーバー 「<img src=/nonexistent/x.png><b>x</b>」 に接続できません");
    }
}

void QtPlatformTest::captions()
{
    QFETCH(bool, catalogue);
    QFETCH(int, style);
    QFETCH(QStringList, captions);
    QFETCH(QString, press);
    QFETCH(int, answer);
    QFETCH(QString, text);
    QCOMPARE(installQtTranslation(catalogue ? QString() : QStringLiteral("/nonexistent")), catalogue);

    QStringList shown;
    QString pressed;
    bool readAsMarkup = true;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        readAsMarkup = box->textFormat() != Qt::PlainText && Qt::mightBeRichText(box->text());
        QAbstractButton *target = nullptr;
        for (QAbstractButton *b : box->buttons()) {
            shown << plain(b->text());
            if (plain(b->text()) == press)
                target = b;
        }
        if (target) {
            pressed = press;
            target->click();
        } else {
            box->reject();
        }
    });
    const int result = msgBox(text, style);
    QVERIFY(!readAsMarkup);
    shown.sort();
    captions.sort();
    QCOMPARE(shown, captions);
    QCOMPARE(pressed, press);
    QCOMPARE(result, answer);
}

QTEST_MAIN(QtPlatformTest)
#include "tst_qtplatform.moc"
