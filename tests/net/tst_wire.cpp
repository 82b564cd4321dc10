// The shared protocol facts and field rules, built against Qt Core alone: the
// session code and the server link them without the protocol module.
#include "wire/rules.h"
#include "wire/wire.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QTest>

#include <functional>

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

    // Both ends judge a field by these; the account form by its pieces.
    void fieldRules_data()
    {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        const QString kanji16(16, QChar(0x6F22)); // 32 bytes
        QTest::newRow("user: plain") << "user" << "Taro_2026" << true;
        QTest::newRow("user: empty") << "user" << "" << false;
        QTest::newRow("user: 32 bytes of kanji") << "user" << kanji16 << true;
        QTest::newRow("user: 34 bytes of kanji") << "user" << kanji16 + QChar(0x6F22) << false;
        QTest::newRow("user: 33 bytes") << "user" << QString(33, u'a') << false;
        QTest::newRow("user: tab") << "user" << "a\tb" << false;
        QTest::newRow("user: symbol") << "user" << "taro~" << false;
        QTest::newRow("user: replacement character") << "user" << QString(QChar::ReplacementCharacter) << false;
        QTest::newRow("user: no code page 932 form") << "user" << QString::fromUtf8("\xF0\x9F\x98\x80") << false;
        QTest::newRow("password: 5 characters") << "password" << "abcde" << true;
        QTest::newRow("password: 4 characters") << "password" << "abcd" << false;
        QTest::newRow("password: 33 bytes") << "password" << QString(33, u'a') << false;
        QTest::newRow("password: space") << "password" << "abc de" << false;
        QTest::newRow("password: DEL") << "password" << "abcde\x7f" << false;
        QTest::newRow("long enough: space counts") << "longEnough" << "ab de" << true;
        QTest::newRow("long enough: 4 characters") << "longEnough" << "abcd" << false;
        QTest::newRow("e-mail: shortest") << "email" << "a@b." << true;
        QTest::newRow("e-mail: no dot") << "email" << "a@bc" << false;
        QTest::newRow("e-mail: no at sign") << "email" << "ab.c" << false;
        QTest::newRow("e-mail: 3 characters") << "email" << "@b." << false;
        QTest::newRow("e-mail: space") << "email" << "a @b.c" << false;
        QTest::newRow("e-mail: control") << "email" << "a@b.c\r" << false;
        QTest::newRow("e-mail: 128 bytes") << "email" << "a@b." + QString(124, u'x') << true;
        QTest::newRow("e-mail: 129 bytes") << "email" << "a@b." + QString(125, u'x') << false;
        QTest::newRow("shape: control passes") << "emailShape" << "a@b.c\r" << true;
        QTest::newRow("shape: space") << "emailShape" << "a@b. c" << false;
        QTest::newRow("comment: empty") << "comment" << "" << true;
        QTest::newRow("comment: 80 bytes") << "comment" << QString(40, QChar(0x3042)) << true;
        QTest::newRow("comment: 81 bytes") << "comment" << QString(40, QChar(0x3042)) + "x" << false;
        QTest::newRow("comment: line feed") << "comment" << "a\nb" << false;
        QTest::newRow("room: empty") << "room" << "" << false;
        QTest::newRow("room: 36 bytes") << "room" << QString(36, u'r') << true;
        QTest::newRow("room: 37 bytes") << "room" << QString(37, u'r') << false;
        QTest::newRow("room: escape") << "room" << "a\x1b" << false;
        QTest::newRow("control: none") << "noControl" << "a b~" << true;
        QTest::newRow("control: unit separator") << "noControl" << "\x1f" << false;
        QTest::newRow("control: DEL") << "noControl" << "\x7f" << false;
        QTest::newRow("control: C1 is not") << "noControl" << QString(QChar(0x85)) << true;
    }
    void fieldRules()
    {
        QFETCH(QString, rule);
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        const QHash<QString, std::function<bool(const QString &)>> rules{
            {QStringLiteral("user"), validUserId},
            {QStringLiteral("password"), validPassword},
            {QStringLiteral("longEnough"), [](const QString &t) { return passwordLongEnough(t); }},
            {QStringLiteral("email"), validEmail},
            {QStringLiteral("emailShape"), [](const QString &t) { return emailShaped(t); }},
            {QStringLiteral("comment"), validComment},
            {QStringLiteral("room"), validRoomName},
            {QStringLiteral("noControl"), [](const QString &t) { return !hasControl(t); }},
        };
        QVERIFY(rules.contains(rule));
        QCOMPARE(rules.value(rule)(text), accepted);
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
