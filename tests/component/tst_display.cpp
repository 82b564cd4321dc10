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

    // Qt gets a fallback after a display platform, and only there: landing on it
    // means the display refused Qt after the probe.
    void start_data()
    {
        QTest::addColumn<QByteArray>("chosen");
        QTest::addColumn<QByteArray>("session");
        QTest::addColumn<QByteArrayList>("plugins");
        QTest::addColumn<QByteArray>("platforms");
        QTest::addColumn<QByteArray>("fallback");
        const QByteArrayList all{"xcb", "wayland", "offscreen", "minimal"};
        QTest::newRow("X") << QByteArray("xcb") << QByteArray() << all << QByteArray("xcb;minimal") << QByteArray("minimal");
        QTest::newRow("Wayland") << QByteArray("wayland") << QByteArray() << all << QByteArray("wayland;minimal")
                                 << QByteArray("minimal");
        QTest::newRow("both, X session") << QByteArray() << QByteArray("x11") << all << QByteArray("xcb;wayland;minimal")
                                         << QByteArray("minimal");
        QTest::newRow("both, Wayland session") << QByteArray() << QByteArray("wayland") << all
                                               << QByteArray("wayland;xcb;minimal") << QByteArray("minimal");
        QTest::newRow("offscreen only as fallback") << QByteArray("xcb") << QByteArray() << QByteArrayList{"xcb", "offscreen"}
                                                    << QByteArray("xcb;offscreen") << QByteArray("offscreen");
        QTest::newRow("no fallback plugin") << QByteArray("xcb") << QByteArray() << QByteArrayList{"xcb"} << QByteArray("xcb")
                                            << QByteArray();
        QTest::newRow("offscreen asked") << QByteArray("offscreen") << QByteArray() << all << QByteArray("offscreen")
                                         << QByteArray();
    }
    void start()
    {
        QFETCH(QByteArray, chosen);
        QFETCH(QByteArray, session);
        QFETCH(QByteArrayList, plugins);
        QFETCH(QByteArray, platforms);
        QFETCH(QByteArray, fallback);
        component::DisplayProbe probe;
        probe.env = [&](const char *name) { return qstrcmp(name, "XDG_SESSION_TYPE") == 0 ? session : QByteArray(); };
        probe.plugin = [&](const QByteArray &name) { return plugins.contains(name); };
        const component::PlatformStart s = component::platformStart(chosen, probe);
        QCOMPARE(s.platforms, platforms);
        QCOMPARE(s.fallback, fallback);
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
