// The access chart: the grid built from the counts and the seed, and the fetches
// behind the menu item and the view toggle.
#include "net/lobbywire.h"
#include "stats/dlgChart.h"

#include <QAction>
#include <QApplication>
#include <QBarCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QPushButton>
#include <QValueAxis>

namespace {
const QString kFailed = QStringLiteral("データの取得に失敗しました。");

int liveCharts()
{
    int n = 0;
    for (const QWidget *w : QApplication::allWidgets())
        n += w->objectName() == QLatin1String(dlgChart::kName);
    return n;
}
} // namespace

class TestDlgChart : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { Forms::resetAll(); }

    void grid_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("seed");
        QTest::addColumn<QString>("oldest"); // "" when the seed must be refused
        QTest::addColumn<QString>("newest");
        QTest::newRow("hour 0") << 0 << "0" << "1時" << "0時";
        QTest::newRow("hour 23") << 0 << "23" << "0時" << "23時";
        QTest::newRow("hour 9") << 0 << " 9 " << "10時" << "9時";
        QTest::newRow("year boundary") << 1 << "2001/1/3" << "2000/12/28" << "2001/1/3";
        QTest::newRow("month 13 rolls over") << 1 << "2001/13/2" << "2001/12/27" << "2002/1/2";
        QTest::newRow("day 0") << 1 << "2001/3/0" << "2001/2/22" << "2001/2/28";
        QTest::newRow("hour abc") << 0 << "abc" << "" << "";
        QTest::newRow("week 2001/4") << 1 << "2001/4" << "" << "";
        QTest::newRow("week 2001/x/3") << 1 << "2001/x/3" << "" << "";
    }
    void grid()
    {
        QFETCH(int, mode);
        QFETCH(QString, seed);
        QFETCH(QString, oldest);
        QFETCH(QString, newest);
        FakePlatform fake;
        std::unique_ptr<dlgChart> d(new dlgChart);
        QList<QVariant> counts(dlgChart::kCountSlots);
        for (int i = 0; i < counts.size(); ++i)
            counts[i] = QVariant::fromValue<qint16>(qint16(100 + i));
        QCOMPARE(d->displayChart(qint16(mode), counts, seed), !oldest.isEmpty());
        if (oldest.isEmpty())
            return;
        const int rows = mode == 0 ? 24 : 7;
        QCOMPARE(d->marrChartData.size(), rows);
        QCOMPARE(d->marrChartData.constFirst()[0].toString(), oldest);
        QCOMPARE(d->marrChartData.constLast()[0].toString(), newest);
        // The newest row carries slot 0; slots beyond the view are not shown.
        for (int r = 0; r < rows; ++r)
            QCOMPARE(d->marrChartData.at(r)[1].toInt(), 100 + rows - 1 - r);
    }

    // Ticks on whole numbers, about five of them, whatever the largest count: a
    // step below 1 would print the same "%d" label twice.
    void valueTicks_data()
    {
        QTest::addColumn<int>("low");
        QTest::addColumn<int>("high");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("top");
        QTest::newRow("all zero") << 0 << 0 << 1 << 1;
        QTest::newRow("1") << 0 << 1 << 1 << 1;
        QTest::newRow("2") << 0 << 2 << 1 << 2;
        QTest::newRow("7") << 0 << 7 << 2 << 8;
        QTest::newRow("25") << 0 << 25 << 5 << 25;
        QTest::newRow("26") << 0 << 26 << 10 << 30;
        QTest::newRow("1000") << 0 << 1000 << 200 << 1000;
        QTest::newRow("32767") << 0 << 32767 << 10000 << 40000;
        QTest::newRow("negative") << -3 << 4 << 2 << 4;
    }
    void valueTicks()
    {
        QFETCH(int, low);
        QFETCH(int, high);
        QFETCH(int, step);
        QFETCH(int, top);
        FakePlatform fake;
        std::unique_ptr<dlgChart> d(new dlgChart);
        QList<QVariant> counts(dlgChart::kCountSlots);
        counts[0] = QVariant::fromValue<qint16>(qint16(high));
        counts[3] = QVariant::fromValue<qint16>(qint16(low));
        QVERIFY(d->displayChart(0, counts, QStringLiteral("5")));
        auto *axis = qobject_cast<QValueAxis *>(d->chChart->chart()->axes(Qt::Vertical).value(0));
        QVERIFY(axis);
        QCOMPARE(axis->tickType(), QValueAxis::TicksDynamic);
        QCOMPARE(axis->tickInterval(), qreal(step));
        QCOMPARE(axis->max(), qreal(top));
        QVERIFY(axis->min() <= low && int(axis->min()) % step == 0);
        QCOMPARE(axis->tickAnchor(), 0.0);
        const int steps = int((axis->max() - axis->min()) / step);
        QVERIFY2(steps >= 1 && steps <= 5, qPrintable(QString::number(steps)));
    }

    // Seven dates fit upright; twenty-four hours do not. Escape closes like 閉じる.
    void labelsAndEscape()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        w.server.on(QStringLiteral("DAYCHART"), {QStringLiteral("DAYCHART x 9") + QStringLiteral(" 4").repeated(25)});
        w.server.on(QStringLiteral("WEEKCHART"), {QStringLiteral("WEEKCHART 2001/12/28 1 2 3 4 5 6 7")});
        QList<int> angles;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            auto *d = static_cast<dlgChart *>(dialog);
            auto *axis = qobject_cast<QBarCategoryAxis *>(d->chChart->chart()->axes(Qt::Horizontal).value(0));
            QVERIFY(axis);
            QTest::qWait(50);
            angles << axis->labelsAngle();
            d->cmdChange->click();
            QTest::qWait(50);
            angles << axis->labelsAngle();
            QTest::keyClick(d, Qt::Key_Escape);
        };
        w.lobby()->mnuAccess->trigger();
        QCOMPARE(angles, (QList<int>{-90, 0}));
        QVERIFY(!Forms::ifLoaded<dlgChart>());
    }

    // Menu item, first view, both toggles and close, against a scripted server.
    void fetchAndToggle()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        w.server.on(QStringLiteral("DAYCHART"), {QStringLiteral("DAYCHART x 9") + QStringLiteral(" 4").repeated(25)});
        // Fewer counts than days: the oldest rows stay empty.
        w.server.on(QStringLiteral("WEEKCHART"), {QStringLiteral("WEEKCHART 2001/4/19 1 2 3")});
        QStringList seen;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            auto *d = static_cast<dlgChart *>(dialog);
            for (int click = 0; click < 3; ++click) {
                if (click > 0)
                    d->cmdChange->click();
                seen << QStringLiteral("%1 %2 %3 %4 %5")
                            .arg(d->cmdChange->text(), d->marrChartData.constLast()[0].toString())
                            .arg(int(d->chChart->isVisible()))
                            .arg(int(d->lblMessage->isVisible()))
                            .arg(int(d->marrChartData.constFirst()[1].isValid()));
            }
            d->OKButton->click();
        };
        w.lobby()->mnuAccess->trigger();
        QCOMPARE(seen, (QStringList{"週間表示 9時 1 0 1", "24H 表示 2001/4/19 1 0 0", "週間表示 9時 1 0 1"}));
        QCOMPARE(w.server.received.filter(QStringLiteral("CHART")), (QStringList{"DAYCHART", "WEEKCHART", "DAYCHART"}));
        QVERIFY(!Forms::ifLoaded<dlgChart>());
        QVERIFY(w.fake.messages.isEmpty());
    }

    // No answer within the time limit: the failure text, no chart, and a toggle
    // that leaves the failed state through a new fetch.
    void failedFetch()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        w.server.on(QStringLiteral("WEEKCHART"), {QStringLiteral("WEEKCHART 2001/4/19 1 2 3")});
        QStringList seen;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            auto *d = static_cast<dlgChart *>(dialog);
            seen << d->lblMessage->text() << QString::number(d->chChart->isVisible() + 2 * d->cmdChange->isEnabled());
            d->cmdChange->click();
            seen << QString::number(d->chChart->isVisible() + 2 * d->lblMessage->isVisible());
        };
        w.lobby()->mnuAccess->trigger();
        QCOMPARE(seen, (QStringList{kFailed, "2", "1"}));
        QVERIFY(w.fake.messages.isEmpty());
    }

    // The loading text shows while a toggle's fetch waits; closing meanwhile leaves
    // nothing behind, and the late answer changes nothing.
    void closedWhileFetching()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        w.server.on(QStringLiteral("DAYCHART"), {QStringLiteral("DAYCHART x 3 1 2")});
        QString duringFetch;
        w.server.onLine = [&](const QString &line) {
            if (line != QStringLiteral("WEEKCHART"))
                return;
            auto *d = Forms::ifLoaded<dlgChart>();
            duringFetch = d->lblMessage->text() + QString::number(d->cmdChange->isEnabled());
            d->OKButton->click();
            w.server.sendLine(QStringLiteral("WEEKCHART 2001/4/19 1 2 3"));
        };
        dlgChart *shown = nullptr;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            shown = static_cast<dlgChart *>(dialog);
            shown->cmdChange->click();
        };
        w.lobby()->mnuAccess->trigger();
        QCOMPARE(duringFetch, QStringLiteral("データの取得中...0"));
        QVERIFY(!Forms::ifLoaded<dlgChart>());
        QCOMPARE(shown->marrChartData.size(), 24);
    }

    // One lobby session opening and closing the chart again and again keeps at most
    // one chart alive. Clicked from the event loop, each closed chart goes once the
    // click's handler has returned; clicked from outside any loop (as the other
    // tests here do), they wait for collect().
    void manyOpensKeepOneChart_data()
    {
        QTest::addColumn<bool>("fromEventLoop");
        QTest::addColumn<int>("opens");
        QTest::addColumn<int>("aliveBeforeCollect");
        QTest::newRow("menu clicks from the event loop") << true << 100 << 0;
        QTest::newRow("menu clicks outside any loop") << false << 10 << 10;
    }
    void manyOpensKeepOneChart()
    {
        QFETCH(bool, fromEventLoop);
        QFETCH(int, opens);
        QFETCH(int, aliveBeforeCollect);
        LobbyWire w;
        QVERIFY(w.connect());
        w.server.on(QStringLiteral("DAYCHART"), {QStringLiteral("DAYCHART x 9") + QStringLiteral(" 4").repeated(25)});
        int shown = 0;
        int mostAlive = 0;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            ++shown;
            mostAlive = std::max(mostAlive, liveCharts());
            static_cast<dlgChart *>(dialog)->OKButton->click();
        };
        for (int i = 0; i < opens; ++i) {
            if (!fromEventLoop) {
                w.lobby()->mnuAccess->trigger();
                continue;
            }
            bool done = false;
            QMetaObject::invokeMethod(w.lobby(), [&] { w.lobby()->mnuAccess->trigger(); done = true; }, Qt::QueuedConnection);
            while (!done)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        QCOMPARE(shown, opens);
        QCOMPARE(w.server.received.filter(QStringLiteral("DAYCHART")).size(), opens);
        QCOMPARE(liveCharts(), aliveBeforeCollect);
        // The chart on screen is the only one: the previous went before this click.
        QCOMPARE(mostAlive, fromEventLoop ? 1 : opens);
        Forms::collect();
        QCOMPARE(liveCharts(), 0);
    }

    // A second click on the menu item while the first fetch waits opens nothing;
    // the dialog shows once, after its fetch.
    void secondClickDuringFirstFetch()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        w.server.onLine = [&](const QString &line) {
            if (line != QStringLiteral("DAYCHART"))
                return;
            w.lobby()->mnuAccess->trigger();
            w.server.sendLine(QStringLiteral("DAYCHART x 3 1 2"));
        };
        QList<qsizetype> rowsWhenShown;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            rowsWhenShown << static_cast<dlgChart *>(dialog)->marrChartData.size();
            static_cast<dlgChart *>(dialog)->OKButton->click();
        };
        w.lobby()->mnuAccess->trigger();
        QCOMPARE(rowsWhenShown, QList<qsizetype>{24});
        QCOMPARE(w.server.received.filter(QStringLiteral("CHART")), QStringList{"DAYCHART"});
    }
};

QTEST_MAIN(TestDlgChart)
#include "tst_dlgchart.moc"
