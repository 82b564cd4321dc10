#include "wire/codec.h"
#include "session/lobbyModule.h"
#include "support/fakeplatform.h"

#include <QTest>

using namespace lobbyModule;
using namespace protocol;

class TstLobbyModule : public QObject {
    Q_OBJECT
private slots:
    void privateAddresses_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<bool>("isPrivate");
        for (const char *ip : {"10.0.0.1", "192.168.1.5", "172.16.0.1", "172.31.255.255"})
            QTest::newRow(ip) << QString::fromLatin1(ip) << true;
        for (const char *ip : {"172.15.0.1", "172.32.0.1", "11.0.0.1", "192.169.0.1", "172.", "172.x.0.1", "", "127.0.0.1", "::1"})
            QTest::newRow(*ip ? ip : "empty") << QString::fromLatin1(ip) << false;
    }
    void privateAddresses()
    {
        QFETCH(QString, ip);
        QFETCH(bool, isPrivate);
        QCOMPARE(isPrivateAddress(ip), isPrivate);
    }

    void limitByteLength_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("selected");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("accepted");
        const QString b31(31, u'x');
        const QString b32(32, u'x');
        QTest::newRow("31 bytes + single") << b31 << 0 << "a" << true;
        QTest::newRow("31 bytes + double") << b31 << 0 << "あ" << false;
        QTest::newRow("32 bytes + single") << b32 << 0 << "a" << false;
        QTest::newRow("32 bytes, 4 selected") << b32 << 4 << "a" << true;
        QTest::newRow("32 bytes + backspace") << b32 << 0 << "\b" << true;
        QTest::newRow("30 bytes + double") << QString(30, u'x') << 0 << "あ" << true;
        QTest::newRow("kana fill: 15 kana + double") << QString(15, QChar(0x3042)) + "x" << 0 << "あ" << false;
    }
    void limitByteLength()
    {
        QFETCH(QString, text);
        QFETCH(int, selected);
        QFETCH(QString, key);
        QFETCH(bool, accepted);
        FakePlatform fake;
        qint16 code = cp932::keyCode(key);
        const qint16 before = code;
        lobbyModule::limitByteLength(code, text, selected, 32);
        QCOMPARE(code, accepted ? before : qint16(0));
        QCOMPARE(fake.beeps, accepted ? 0 : 1);
    }

    void userIdChars_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("underscore") << 95 << true;
        QTest::newRow("letter") << int('a') << true;
        QTest::newRow("digit") << int('7') << true;
        QTest::newRow("backspace") << 8 << true;
        QTest::newRow("double-byte") << int(cp932::keyCode(QStringLiteral("あ"))) << true;
        for (int k : {64, 45, 32, 126, 96, 47, 58, 91, 94, 123})
            QTest::newRow(qPrintable(QStringLiteral("symbol %1").arg(k))) << k << false;
    }
    void userIdChars()
    {
        QFETCH(int, key);
        QFETCH(bool, accepted);
        FakePlatform fake;
        qint16 code = qint16(key);
        checkUserIdChar(code);
        QCOMPARE(code, accepted ? qint16(key) : qint16(0));
        if (accepted) {
            QVERIFY(fake.messages.isEmpty());
        } else {
            QCOMPARE(fake.messages.size(), 1);
            QCOMPARE(fake.messages[0].text,
                     QStringLiteral("ユーザーID には '_'(アンダーバー)を除く半角記号、スペースは使えません"));
            QCOMPARE(fake.messages[0].style, platform::mb::Information);
        }
    }

    void dependentChars_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("swallowed");
        QTest::newRow("8740 circled digit") << 0x8740 << true;
        QTest::newRow("82A0 hiragana a") << 0x82A0 << false;
        QTest::newRow("889F first kanji") << 0x889F << false;
        QTest::newRow("889E") << 0x889E << true;
        QTest::newRow("FA40 passes") << 0xFA40 << false;
        QTest::newRow("FA4F passes") << 0xFA4F << false;
        QTest::newRow("FA50 swallowed") << 0xFA50 << true;
        QTest::newRow("FA60 passes") << 0xFA60 << false;
        QTest::newRow("ED40 swallowed") << 0xED40 << true;
        QTest::newRow("ED70 passes") << 0xED70 << false;
        QTest::newRow("FC4B swallowed") << 0xFC4B << true;
        QTest::newRow("ascii") << int('a') << false;
    }
    void dependentChars()
    {
        QFETCH(int, code);
        QFETCH(bool, swallowed);
        qint16 k = qint16(quint16(code));
        filterDependentChar(k);
        QCOMPARE(k == 0, swallowed);
    }

    void scramblingKeepsTheClassicForm()
    {
        QCOMPARE(encodeString(QStringLiteral("abc")), QStringLiteral("def"));
        QCOMPARE(decodeString(QStringLiteral("def")), QStringLiteral("abc"));
        QCOMPARE(encodeString(QString()), QString());
        QCOMPARE(encodeString(QStringLiteral("あ")), QStringLiteral("ぅ")); // 0x82A0 -> 0x82A3
    }

    void scramblingRoundTrips_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("tilde") << QStringLiteral("pass~word");
        QTest::newRow("braces") << QStringLiteral("{|}~");
        QTest::newRow("marker itself") << QStringLiteral("a\u0001b");
        QTest::newRow("emoji") << QStringLiteral("x\U0001F600y");
        QTest::newRow("latin outside the code page") << QStringLiteral("caf\u00e9");
        QTest::newRow("lone surrogate") << QString(QChar(0xD800));
        QTest::newRow("halfwidth end") << QStringLiteral("ﾟﾞ");
    }
    void scramblingRoundTrips()
    {
        QFETCH(QString, text);
        QCOMPARE(decodeString(encodeString(text)), text);
    }

    // Every character of the code page comes back.
    void scramblingRoundTripsOverTheWholeCodePage()
    {
        int checked = 0;
        QString all;
        for (int b = 0; b < 0x100; ++b) {
            const QString s = cp932::fromKeyCode(qint16(b));
            if (s.size() == 1 && s.at(0) != QChar(0xFFFD))
                all += s;
        }
        for (int lead : {0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F,
                         0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E,
                         0x9F, 0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED,
                         0xEE, 0xEF, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC}) {
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                const QString s = cp932::fromKeyCode(qint16(quint16((lead << 8) | trail)));
                if (s.size() == 1 && s.at(0) != QChar(0xFFFD))
                    all += s;
            }
        }
        QVERIFY2(all.size() > 7000, qPrintable(QString::number(all.size())));
        for (const QChar c : all) {
            const QString one(c);
            const QString enc = encodeString(one);
            if (decodeString(enc) != one)
                QFAIL(qPrintable(QStringLiteral("U+%1 does not come back").arg(c.unicode(), 4, 16, QChar(u'0'))));
            ++checked;
        }
        QCOMPARE(decodeString(encodeString(all)), all);
        QVERIFY(checked > 7000);
    }

    void integersAndBooleans_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("integer"); // -99999 = does not convert
        QTest::newRow("plain") << "3" << 3;
        QTest::newRow("spaces") << " 42 " << 42;
        QTest::newRow("negative") << "-7" << -7;
        QTest::newRow("half to even") << "2.5" << 2;
        QTest::newRow("half to even up") << "3.5" << 4;
        QTest::newRow("max") << "32767" << 32767;
        QTest::newRow("overflow") << "32768" << -99999;
        QTest::newRow("word") << "abc" << -99999;
        QTest::newRow("empty") << "" << -99999;
        QTest::newRow("nan") << "nan" << -99999;
        QTest::newRow("fullwidth digit") << "３" << -99999;
    }
    void integersAndBooleans()
    {
        QFETCH(QString, text);
        QFETCH(int, integer);
        const auto v = toInteger(text);
        QCOMPARE(v.has_value(), integer != -99999);
        if (v)
            QCOMPARE(int(*v), integer);
    }

    void booleans()
    {
        QCOMPARE(toBoolean(u"True"), std::optional<bool>(true));
        QCOMPARE(toBoolean(u"FALSE"), std::optional<bool>(false));
        QCOMPARE(toBoolean(u"0"), std::optional<bool>(false));
        QCOMPARE(toBoolean(u"-1"), std::optional<bool>(true));
        QCOMPARE(toBoolean(u"2"), std::optional<bool>(true));
        QCOMPARE(toBoolean(u"yes"), std::optional<bool>());
        QCOMPARE(toBoolean(u""), std::optional<bool>());
    }
};

QTEST_APPLESS_MAIN(TstLobbyModule)
#include "tst_lobbymodule.moc"
