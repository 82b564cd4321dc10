// The access chart: the grid built from the counts and the seed, and the fetches
// behind the menu item and the view toggle.
#include "net/lobbywire.h"
#include "net/protocol/protocol.h"
#include "stats/dlgChart.h"

#include <QAction>
#include <QBarCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QTimer>
#include <QValueAxis>

namespace {

const QString kFailed = QStringLiteral("データの取得に失敗しました。");

QList<QVariant> countSlots(const QList<int> &counts)
{
    QList<QVariant> out(dlgChart::kCountSlots);
    for (qsizetype i = 0; i < counts.size(); ++i)
        out[i] = QVariant::fromValue<qint16>(qint16(counts.at(i)));
    return out;
}

QStringList labels(const dlgChart *d)
{
    QStringList out;
    for (const auto &row : d->marrChartData)
        out << row[0].toString();
    return out;
}

QList<int> hours(int from, int count, int step)
{
    QList<int> out;
    for (int i = 0; i < count; ++i)
        out << from + i * step;
    return out;
}

QList<int> points(QChart *chart)
{
    QList<int> out;
    for (QAbstractSeries *s : chart->series())
        for (const QPointF &p : static_cast<QLineSeries *>(s)->points())
            out << int(p.x());
    return out;
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
        QTest::addColumn<QStringList>("labels");
        auto hourLabels = [](const QList<int> &hs) {
            QStringList out;
            for (int h : hs)
                out << QString::number(h) + QStringLiteral("時");
            return out;
        };
        // Oldest row first; the newest hour is the last row.
        QTest::newRow("hour 0") << 0 << "0" << hourLabels(hours(1, 23, 1) << 0);
        QTest::newRow("hour 23") << 0 << "23" << hourLabels(hours(0, 24, 1));
        QTest::newRow("hour 9") << 0 << "9" << hourLabels(hours(10, 14, 1) + hours(0, 10, 1));
        QTest::newRow("hour with spaces") << 0 << " 5 " << hourLabels(hours(6, 18, 1) + hours(0, 6, 1));
        QTest::newRow("year boundary") << 1 << "2001/1/3"
                                       << QStringList{"2000/12/28", "2000/12/29", "2000/12/30", "2000/12/31",
                                                      "2001/1/1", "2001/1/2", "2001/1/3"};
        QTest::newRow("leap day") << 1 << "2004/3/2"
                                  << QStringList{"2004/2/25", "2004/2/26", "2004/2/27", "2004/2/28", "2004/2/29",
                                                 "2004/3/1", "2004/3/2"};
        QTest::newRow("month 13 rolls over") << 1 << "2001/13/2"
                                             << QStringList{"2001/12/27", "2001/12/28", "2001/12/29", "2001/12/30",
                                                            "2001/12/31", "2002/1/1", "2002/1/2"};
        QTest::newRow("day 0 is the month's eve") << 1 << "2001/3/0"
                                                  << QStringList{"2001/2/22", "2001/2/23", "2001/2/24", "2001/2/25",
                                                                 "2001/2/26", "2001/2/27", "2001/2/28"};
        QTest::newRow("extra parts ignored") << 1 << "2001/4/19/x"
                                             << QStringList{"2001/4/13", "2001/4/14", "2001/4/15", "2001/4/16",
                                                            "2001/4/17", "2001/4/18", "2001/4/19"};
    }
    void grid()
    {
        QFETCH(int, mode);
        QFETCH(QString, seed);
        QFETCH(QStringList, labels);
        FakePlatform fake;
        auto *d = new dlgChart;
        std::unique_ptr<dlgChart> owner(d);
        QList<int> counts;
        for (int i = 0; i < dlgChart::kCountSlots; ++i)
            counts << 100 + i;
        QVERIFY(d->displayChart(qint16(mode), countSlots(counts), seed));
        QCOMPARE(::labels(d), labels);
        // The newest row carries slot 0; slots beyond the view are not shown.
        const qsizetype rows = labels.size();
        for (qsizetype r = 0; r < rows; ++r)
            QCOMPARE(d->marrChartData.at(r)[1].toInt(), 100 + int(rows - 1 - r));
        auto *axisX = static_cast<QBarCategoryAxis *>(d->chChart->chart()->axes(Qt::Horizontal).constFirst());
        QCOMPARE(axisX->categories(), labels);
        QCOMPARE(d->chChart->chart()->title(),
                 mode == 0 ? QStringLiteral("現在までの24時間のユーザーのアクセス状況です。")
                           : QStringLiteral("本日まで一週間のユーザーのアクセス状況です。"));
        auto *axisY = static_cast<QValueAxis *>(d->chChart->chart()->axes(Qt::Vertical).constFirst());
        QCOMPARE(axisY->titleText(), QStringLiteral("アクセス数"));
        QVERIFY(axisY->max() >= 100 + rows - 1);
    }

    void badSeed_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("seed");
        QTest::newRow("hour abc") << 0 << "abc";
        QTest::newRow("hour empty") << 0 << "";
        QTest::newRow("week 2001/4") << 1 << "2001/4";
        QTest::newRow("week empty") << 1 << "";
        QTest::newRow("week non-numeric") << 1 << "2001/x/3";
        QTest::newRow("week year 0") << 1 << "0/1/1";
    }
    void badSeed()
    {
        QFETCH(int, mode);
        QFETCH(QString, seed);
        FakePlatform fake;
        std::unique_ptr<dlgChart> d(new dlgChart);
        QVERIFY(!d->displayChart(qint16(mode), countSlots({1, 2, 3}), seed));
        QVERIFY(fake.messages.isEmpty());
    }

    // Rows without a count stay empty and break the line instead of joining it.
    void missingCounts()
    {
        FakePlatform fake;
        std::unique_ptr<dlgChart> d(new dlgChart);
        QList<QVariant> counts = countSlots({5, 6, 7});
        counts[1] = QVariant();
        QVERIFY(d->displayChart(1, counts, QStringLiteral("2001/4/19")));
        QCOMPARE(d->marrChartData.size(), 7);
        for (int r = 0; r < 4; ++r)
            QVERIFY(!d->marrChartData.at(r)[1].isValid());
        QVERIFY(!d->marrChartData.at(5)[1].isValid());
        QCOMPARE(d->marrChartData.at(6)[1].toInt(), 5);
        QCOMPARE(d->marrChartData.at(4)[1].toInt(), 7);
        QCOMPARE(points(d->chChart->chart()), (QList<int>{4, 6}));
        QCOMPARE(d->chChart->chart()->series().size(), 2);
    }

    // Menu item, first view, both toggles and close, against a scripted server.
    void fetchAndToggle()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        w.server.on(QStringLiteral("DAYCHART"),
                    {protocol::dayChartLine(QStringLiteral("x"), 9, QList<int>(25, 4))});
        w.server.on(QStringLiteral("WEEKCHART"), {protocol::weekChartLine(QDate(2001, 4, 19), {1, 2, 3, 4, 5, 6, 7})});
        QStringList seen;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            auto *d = static_cast<dlgChart *>(dialog);
            auto state = [&] {
                return QStringLiteral("%1 %2 %3 %4 %5")
                    .arg(d->cmdChange->text(), d->lblMessage->isVisible() ? d->lblMessage->text() : QStringLiteral("-"))
                    .arg(int(d->chChart->isVisible()))
                    .arg(d->marrChartData.size())
                    .arg(int(d->cmdChange->isEnabled()));
            };
            seen << state();
            d->cmdChange->click();
            seen << state();
            QCOMPARE(d->marrChartData.constLast()[0].toString(), QStringLiteral("2001/4/19"));
            QCOMPARE(d->marrChartData.constFirst()[1].toInt(), 7);
            d->cmdChange->click();
            seen << state();
            QCOMPARE(d->marrChartData.constLast()[0].toString(), QStringLiteral("9時"));
            d->OKButton->click();
            QVERIFY(!Forms::isCurrent(d));
        };
        w.lobby()->mnuAccess->trigger();
        QCOMPARE(w.fake.modalShown, QStringList{QStringLiteral("dlgChart")});
        QCOMPARE(seen, (QStringList{QStringLiteral("週間表示 - 1 24 1"), QStringLiteral("24H 表示 - 1 7 1"),
                                     QStringLiteral("週間表示 - 1 24 1")}));
        QCOMPARE(w.server.received.filter(QStringLiteral("CHART")),
                 (QStringList{QStringLiteral("DAYCHART"), QStringLiteral("WEEKCHART"), QStringLiteral("DAYCHART")}));
        QVERIFY(!Forms::ifLoaded<dlgChart>());
        QVERIFY(w.fake.messages.isEmpty());
    }

    // No answer, or an answer whose seed does not convert: the failure text, no
    // chart, and the toggle still usable.
    void failedFetch_data()
    {
        QTest::addColumn<QStringList>("answer");
        QTest::newRow("no answer") << QStringList();
        QTest::newRow("bad hour") << QStringList{QStringLiteral("DAYCHART x abc 1 2 3")};
    }
    void failedFetch()
    {
        QFETCH(QStringList, answer);
        LobbyWire w;
        QVERIFY(w.connect());
        if (!answer.isEmpty())
            w.server.on(QStringLiteral("DAYCHART"), answer);
        w.server.on(QStringLiteral("WEEKCHART"), {QStringLiteral("WEEKCHART 2001/4/19 1 2 3")});
        bool checked = false;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            auto *d = static_cast<dlgChart *>(dialog);
            QCOMPARE(d->lblMessage->text(), kFailed);
            QVERIFY(d->lblMessage->isVisible());
            QVERIFY(!d->chChart->isVisible());
            QVERIFY(d->cmdChange->isEnabled());
            // A new fetch leaves the failed state.
            d->cmdChange->click();
            QVERIFY(d->chChart->isVisible());
            QVERIFY(!d->lblMessage->isVisible());
            checked = true;
        };
        w.lobby()->mnuAccess->trigger();
        QVERIFY(checked);
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
        bool buttonDuringFetch = true;
        w.server.onLine = [&](const QString &line) {
            if (line != QStringLiteral("WEEKCHART"))
                return;
            auto *d = Forms::ifLoaded<dlgChart>();
            duringFetch = d->lblMessage->text();
            buttonDuringFetch = d->cmdChange->isEnabled();
            d->OKButton->click();
            w.server.sendLine(QStringLiteral("WEEKCHART 2001/4/19 1 2 3"));
        };
        dlgChart *shown = nullptr;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            shown = static_cast<dlgChart *>(dialog);
            shown->cmdChange->click();
        };
        w.lobby()->mnuAccess->trigger();
        QCOMPARE(duringFetch, QStringLiteral("データの取得中..."));
        QVERIFY(!buttonDuringFetch);
        QVERIFY(!Forms::ifLoaded<dlgChart>());
        QCOMPARE(shown->marrChartData.size(), 24);
        QVERIFY(!shown->isVisible());
    }

    // A second click on the menu item while the first fetch waits opens nothing.
    void secondClickDuringFirstFetch()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        int clicks = 0;
        w.server.onLine = [&](const QString &line) {
            if (line != QStringLiteral("DAYCHART") || clicks++ > 0)
                return;
            w.lobby()->mnuAccess->trigger();
            w.server.sendLine(QStringLiteral("DAYCHART x 3 1 2"));
        };
        QList<qsizetype> rowsWhenShown;
        w.fake.handlers[QStringLiteral("dlgChart")] = [&](QDialog *dialog) {
            auto *d = static_cast<dlgChart *>(dialog);
            rowsWhenShown << d->marrChartData.size();
            d->OKButton->click();
        };
        w.lobby()->mnuAccess->trigger();
        // Shown once, and only after its fetch ended.
        QCOMPARE(rowsWhenShown, QList<qsizetype>{24});
        QCOMPARE(w.server.received.filter(QStringLiteral("CHART")), QStringList{QStringLiteral("DAYCHART")});
    }

    // The line drops while the first fetch waits: the dialog is never shown.
    void lineDropsDuringFirstFetch()
    {
        LobbyWire w;
        QVERIFY(w.connect());
        w.fake.answers.push_back(platform::mb::No);
        w.server.onLine = [&](const QString &line) {
            if (line == QStringLiteral("DAYCHART"))
                w.server.closeClient();
        };
        frmMain *lobby = w.lobby();
        lobby->mnuAccess->trigger();
        QVERIFY(w.fake.modalShown.isEmpty());
        QVERIFY(!Forms::ifLoaded<dlgChart>());
        QCOMPARE(w.fake.messageTexts(), QStringList{QStringLiteral("回線が切断されました。再接続しますか？")});
    }
};

QTEST_MAIN(TestDlgChart)
#include "tst_dlgchart.moc"
