// The shared protocol facts, built against Qt Core alone: the session code links
// this header without the protocol module.
#include "net/protocol/wire.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace protocol;

class TstWire : public QObject {
    Q_OBJECT
private slots:
    void userIdSymbols()
    {
        QString refused;
        for (int c = -32768; c < 0x10000; ++c)
            if (isUserIdSymbol(c))
                refused += QChar(c);
        QCOMPARE(refused, QStringLiteral(" !\"#$%&'()*+,-./:;<=>?@[\\]^`{|}~"));
    }

    void userIdText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("symbol");
        QTest::newRow("letters, digits, underscore") << "Taro_2026" << false;
        QTest::newRow("japanese") << "花子" << false;
        QTest::newRow("full-width at sign") << "ｔａｒｏ＠" << false;
        QTest::newRow("control code") << "a\tb" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("space") << "taro san" << true;
        QTest::newRow("symbol last") << "taro~" << true;
        QTest::newRow("symbol first") << "@taro" << true;
    }
    void userIdText()
    {
        QFETCH(QString, text);
        QFETCH(bool, symbol);
        QCOMPARE(hasUserIdSymbol(text), symbol);
    }

    // docs/protocol.md states these limits in words; each statement must be there
    // once and give the header's number.
    void protocolDocLimits_data()
    {
        using namespace limits;
        QTest::addColumn<QString>("pattern"); // one capture per number, in the order of numbers
        QTest::addColumn<QList<qint64>>("numbers");
        QTest::newRow("default port") << R"(the default port is (\d+)\.)" << QList<qint64>{kDefaultPort};
        QTest::newRow("server's line limit") << R"(A line longer than (\d+) KiB is dropped)"
                                             << QList<qint64>{kClientLineBytes / 1024};
        QTest::newRow("client's line limit") << R"(A server line longer than (\d+) MiB is dropped)"
                                             << QList<qint64>{kServerLineBytes / (1024 * 1024)};
        QTest::newRow("client's line limit, said again") << R"(inside a client's (\d+) MiB line limit)"
                                                         << QList<qint64>{kServerLineBytes / (1024 * 1024)};
        QTest::newRow("user ID") << R"(invalid user ID: empty, longer than (\d+) bytes)" << QList<qint64>{kUserIdBytes};
        QTest::newRow("password") << R"(invalid password: fewer than (\d+) characters, longer than (\d+) bytes)"
                                  << QList<qint64>{kPasswordMinChars, kPasswordBytes};
        QTest::newRow("e-mail") << R"(invalid e-mail address: fewer than (\d+) characters,[^|]* longer than (\d+) bytes)"
                                << QList<qint64>{kEmailMinChars, kEmailBytes};
        QTest::newRow("comment") << R"(comment longer than (\d+) bytes)" << QList<qint64>{kCommentBytes};
        QTest::newRow("room name") << R"(invalid room name: empty, longer than (\d+) bytes)" << QList<qint64>{kRoomNameBytes};
        QTest::newRow("address") << R"(IP \| not a plain IPv4 or IPv6 address[^|]* more than (\d+) bytes)"
                                 << QList<qint64>{kAddressChars};
    }
    void protocolDocLimits()
    {
        QFETCH(QString, pattern);
        QFETCH(QList<qint64>, numbers);
        QFile doc(QStringLiteral(QORCHAT_PROTOCOL_DOC));
        QVERIFY(doc.open(QIODevice::ReadOnly));
        // Line breaks of the Markdown source are spaces of its text.
        const QString text = QString::fromUtf8(doc.readAll()).replace(QRegularExpression(QStringLiteral("\\s*\\n\\s*")), QStringLiteral(" "));
        const QRegularExpression re(pattern);
        QVERIFY(re.isValid());
        QList<qint64> found;
        auto it = re.globalMatch(text);
        QVERIFY2(it.hasNext(), qPrintable(pattern));
        const QRegularExpressionMatch m = it.next();
        QVERIFY2(!it.hasNext(), "stated twice");
        for (int i = 1; i <= re.captureCount(); ++i)
            found << m.captured(i).toLongLong();
        QCOMPARE(found, numbers);
    }
};

QTEST_APPLESS_MAIN(TstWire)
#include "tst_wire.moc"
