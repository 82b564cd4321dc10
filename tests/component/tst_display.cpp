// Whether a GUI can start, decided from the environment, the reachable display
// servers and the installed platform plugins.
#include "component/display.h"

#include <QTest>

class TstDisplay : public QObject {
    Q_OBJECT
private slots:
    void choice_data()
    {
        QTest::addColumn<QByteArray>("qpa");
        QTest::addColumn<bool>("x11");
        QTest::addColumn<bool>("wayland");
        QTest::addColumn<QByteArrayList>("plugins");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<QByteArray>("platform");
        const QByteArrayList all{"xcb", "wayland", "offscreen", "minimal"};
        QTest::newRow("nothing") << QByteArray() << false << false << all << false << QByteArray();
        QTest::newRow("X only") << QByteArray() << true << false << all << true << QByteArray("xcb");
        QTest::newRow("Wayland only") << QByteArray() << false << true << all << true << QByteArray("wayland");
        QTest::newRow("both: Qt picks") << QByteArray() << true << true << all << true << QByteArray();
        QTest::newRow("X without its plugin") << QByteArray() << true << false << QByteArrayList{"offscreen"} << false
                                              << QByteArray();
        QTest::newRow("Wayland without plugin, X") << QByteArray() << true << true << QByteArrayList{"xcb"} << true
                                                   << QByteArray("xcb");
        QTest::newRow("offscreen") << QByteArray("offscreen") << false << false << all << true << QByteArray("offscreen");
        QTest::newRow("offscreen with options") << QByteArray("offscreen:size=800x600") << false << false << all << true
                                                << QByteArray("offscreen:size=800x600");
        QTest::newRow("xcb asked, no X") << QByteArray("xcb") << false << true << all << false << QByteArray();
        QTest::newRow("list: first unusable") << QByteArray("wayland;xcb") << true << false << all << true
                                              << QByteArray("xcb");
        QTest::newRow("unknown plugin") << QByteArray("nosuch") << true << true << all << false << QByteArray();
        QTest::newRow("empty entries") << QByteArray(";;") << true << false << all << false << QByteArray();
    }
    void choice()
    {
        QFETCH(QByteArray, qpa);
        QFETCH(bool, x11);
        QFETCH(bool, wayland);
        QFETCH(QByteArrayList, plugins);
        QFETCH(bool, usable);
        QFETCH(QByteArray, platform);
        component::DisplayProbe probe;
        probe.env = [&](const char *name) { return qstrcmp(name, "QT_QPA_PLATFORM") == 0 ? qpa : QByteArray(); };
        probe.x11 = [&] { return x11; };
        probe.wayland = [&] { return wayland; };
        probe.plugin = [&](const QByteArray &name) { return plugins.contains(name); };
        const auto chosen = component::guiPlatform(probe);
        QCOMPARE(chosen.has_value(), usable);
        if (chosen)
            QCOMPARE(*chosen, platform);
    }

    // The plugin this test itself runs on is found where Qt looks for it.
    void systemProbeFindsOffscreen()
    {
        const component::DisplayProbe probe = component::systemDisplayProbe();
        QVERIFY(probe.plugin("offscreen"));
        QVERIFY(!probe.plugin("nosuchplatform"));
    }
};

QTEST_GUILESS_MAIN(TstDisplay)
#include "tst_display.moc"
