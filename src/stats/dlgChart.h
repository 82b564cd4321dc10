#pragma once
// The lobby server's access counts: per hour over the last 24 hours or per day over
// the last 7 days, fetched afresh for every view and drawn as one line.
#include "platform/forms.h"

#include <QList>
#include <QString>
#include <QVariant>

#include <array>

class QChart;
class QChartView;
class QLabel;
class QPushButton;

class dlgChart : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "dlgChart";
    struct State : FormStateBase {};

    // Slots of the count array handed to getChartData.
    static constexpr int kCountSlots = 25;

    // Value-axis range and tick step for counts from low to high: whole numbers only,
    // about five steps, never a step below 1 (so no label repeats).
    struct Scale {
        int min, max, step;
    };
    static Scale valueScale(int low, int high);

    dlgChart();
    void Form_Load() override;
    // Fetches the 24-hour view; the opener calls it once the registry handed the
    // window out and before showing it, since it waits for the server.
    void fetchFirstView();

    // Builds marrChartData from the counts (slot 0 the newest) and the seed (the
    // newest hour, or the newest day as y/m/d) and hands it to the chart. False when
    // the seed does not convert; the chart is then left as it was.
    bool displayChart(qint16 mode, const QList<QVariant> &counts, const QString &seed);

    // 0 the 24-hour view, 1 the 7-day view.
    qint16 mintChartMode = 0;
    // One row per hour or day, oldest first: the label, then the count (empty when
    // the server sent none).
    QList<std::array<QVariant, 2>> marrChartData;

    QChartView *chChart = nullptr;
    QLabel *lblMessage = nullptr;
    QPushButton *cmdChange = nullptr;
    QPushButton *OKButton = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void refreshChart(qint16 mode);
    void showGrid();
    void fitCategoryLabels();
    void cmdChange_Click();
    void OKButton_Click();

    QChart *m_chart = nullptr;
};
