// The shared protocol facts, built against Qt Core alone: the session code links
// this header without the protocol module.
#include "net/protocol/wire.h"

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
};

QTEST_APPLESS_MAIN(TstWire)
#include "tst_wire.moc"
