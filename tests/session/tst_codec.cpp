#include "wire/codec.h"

#include <QTest>

class TstCodec : public QObject {
    Q_OBJECT
private slots:
    void decodeVectors_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("ascii") << QByteArray("LMESSAGE taro hi") << QStringLiteral("LMESSAGE taro hi");
        QTest::newRow("hiragana") << QByteArray("\x82\xa0") << QStringLiteral("あ");
        QTest::newRow("circled one 8740") << QByteArray("\x87\x40") << QString(QChar(0x2460));
        QTest::newRow("wave dash 8160") << QByteArray("\x81\x60") << QString(QChar(0xFF5E));
        QTest::newRow("small roman one FA40") << QByteArray("\xfa\x40") << QString(QChar(0x2170));
        QTest::newRow("halfwidth katakana") << QByteArray("\xb1") << QString(QChar(0xFF71));
        QTest::newRow("control bytes kept") << QByteArray("\x1a\x1c\x7f\x01", 4)
                                            << QString::fromLatin1("\x1a\x1c\x7f\x01", 4);
        QTest::newRow("yen sign byte is backslash") << QByteArray("\x5c") << QStringLiteral("\\");
    }
    void decodeVectors()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(cp932::decode(bytes), text);
        QCOMPARE(cp932::encode(text), bytes);
    }

    void invalidBytesNeverStopALine_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("lone 0x80") << QByteArray("a\x80" "b") << QStringLiteral("a\uFFFDb");
        QTest::newRow("lead byte at end") << QByteArray("ab\x82") << QStringLiteral("ab\uFFFD");
        QTest::newRow("lead with bad trail") << QByteArray("\x82\x20z") << QStringLiteral("\uFFFD z");
        QTest::newRow("0xFF") << QByteArray("\xff" "x") << QStringLiteral("\uFFFDx");
    }
    void invalidBytesNeverStopALine()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(cp932::decode(bytes), text);
    }

    void unmappableBecomesQuestionMark()
    {
        QCOMPARE(cp932::encode(QStringLiteral("a\U0001F600b")), QByteArray("a?b"));
        QCOMPARE(cp932::encode(QStringLiteral("\u00e9")), QByteArray("?"));
        QVERIFY(!cp932::isRepresentable(QStringLiteral("x\u00e9")));
        QVERIFY(cp932::isRepresentable(QStringLiteral("あ?~")));
    }

    void byteLengthAndKeyCodes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("bytes");
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("ascii") << QStringLiteral("abc") << 3;
        QTest::newRow("kana") << QStringLiteral("あいう") << 6;
        QTest::newRow("halfwidth") << QStringLiteral("ｱｲ") << 2;
        QTest::newRow("mixed") << QStringLiteral("aあｱ") << 4;
        QTest::newRow("emoji counts as one ?") << QStringLiteral("\U0001F600") << 1;
    }
    void byteLengthAndKeyCodes()
    {
        QFETCH(QString, text);
        QFETCH(int, bytes);
        QCOMPARE(cp932::byteLength(text), qsizetype(bytes));
        QCOMPARE(cp932::byteLength(text), cp932::encode(text).size());
    }

    void keyCodes()
    {
        QCOMPARE(cp932::keyCode(QStringLiteral("あ")), qint16(-32096)); // 0x82A0
        QCOMPARE(cp932::keyCode(QStringLiteral("a")), qint16(97));
        QCOMPARE(cp932::keyCode(QStringLiteral("ｱ")), qint16(0xB1));
        QCOMPARE(cp932::fromKeyCode(-32096), QStringLiteral("あ"));
        QCOMPARE(cp932::fromKeyCode(0), QString());
    }
};

QTEST_APPLESS_MAIN(TstCodec)
#include "tst_codec.moc"
