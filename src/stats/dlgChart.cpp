#include "dlgChart.h"

#include "net/frmCom.h"
#include "session/desktop.h"
#include "session/sessionState.h"
#include "wire/rules.h"
#include "platform/dialogParts.h"

#include <QBarCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QDate>
#include <QFontMetrics>
#include <QGraphicsLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QValueAxis>

#include <algorithm>
#include <optional>

using dialog::twips;

namespace {

const QString kLoading = QStringLiteral("データの取得中...");
const QString kFailed = QStringLiteral("データの取得に失敗しました。");

constexpr int kHours = 24;
constexpr int kDays = 7;

// Year, month and day as the calendar counts them: a month or day out of range
// rolls over into the neighbouring month or year.
std::optional<QDate> dateFromParts(int year, int month, int day)
{
    if (year < 100 || year > 9999)
        return std::nullopt;
    const QDate date = QDate(year, 1, 1).addMonths(month - 1).addDays(day - 1);
    if (!date.isValid() || date.year() < 100 || date.year() > 9999)
        return std::nullopt;
    return date;
}

} // namespace

dlgChart::dlgChart()
{
    setWindowTitle(QStringLiteral("ロビーサーバーアクセス状況"));
    dialog::setDialogFrame(this);
    setFixedSize(twips(6840), twips(5130));

    m_chart = new QChart;
    m_chart->legend()->hide();
    m_chart->setBackgroundRoundness(0);
    m_chart->layout()->setContentsMargins(0, 0, 0, 0);
    auto *axisX = new QBarCategoryAxis(m_chart);
    axisX->setObjectName(QStringLiteral("categoryAxis"));
    axisX->setTruncateLabels(false);
    QFont small = axisX->labelsFont();
    small.setPixelSize(10);
    axisX->setLabelsFont(small);
    auto *axisY = new QValueAxis(m_chart);
    axisY->setObjectName(QStringLiteral("valueAxis"));
    axisY->setLabelFormat(QStringLiteral("%d"));
    axisY->setTickType(QValueAxis::TicksDynamic);
    axisY->setTickAnchor(0);
    m_chart->addAxis(axisX, Qt::AlignBottom);
    m_chart->addAxis(axisY, Qt::AlignLeft);
    connect(m_chart, &QChart::plotAreaChanged, this, &dlgChart::fitCategoryLabels);

    chChart = new QChartView(m_chart, this);
    chChart->setObjectName(QStringLiteral("chChart"));
    chChart->setGeometry(twips(0), twips(0), twips(6855), twips(4575));
    chChart->setRenderHint(QPainter::Antialiasing);
    chChart->hide();

    lblMessage = new QLabel(this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    lblMessage->setGeometry(twips(120), twips(1920), twips(6495), twips(495));
    lblMessage->setAlignment(Qt::AlignCenter);

    cmdChange = new QPushButton(QStringLiteral("週間表示"), this);
    cmdChange->setObjectName(QStringLiteral("cmdChange"));
    cmdChange->setGeometry(twips(2880), twips(4680), twips(1095), twips(375));
    connect(cmdChange, &QPushButton::clicked, this, &dlgChart::cmdChange_Click);

    OKButton = new QPushButton(QStringLiteral("閉じる"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(twips(5520), twips(4680), twips(1215), twips(375));
    connect(OKButton, &QPushButton::clicked, this, &dlgChart::OKButton_Click);

    setTabOrder(OKButton, cmdChange);
    OKButton->setFocus();
}

dlgChart::Scale dlgChart::valueScale(int low, int high)
{
    low = std::min(low, 0);
    high = std::max(high, low + 1);
    const qint64 span = qint64(high) - low;
    qint64 step = 1;
    // 1, 2, 5, 10, 20, 50, ...: the smallest that needs at most five steps.
    for (qint64 base = 1; step * 5 < span; base *= 10) {
        for (const int m : {1, 2, 5}) {
            step = base * m;
            if (step * 5 >= span)
                break;
        }
    }
    const auto down = [step](qint64 v) { return v >= 0 ? v / step * step : -((-v + step - 1) / step * step); };
    const auto up = [step](qint64 v) { return v <= 0 ? -(-v / step * step) : (v + step - 1) / step * step; };
    return {int(down(low)), int(up(high)), int(step)};
}

void dlgChart::keyPressEvent(QKeyEvent *event)
{
    // Escape is the close button's key here: nothing is left to cancel.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        OKButton_Click();
        return;
    }
    Form::keyPressEvent(event);
}

// Labels stand upright when each fits the width of its category, else on their side.
void dlgChart::fitCategoryLabels()
{
    const auto axes = m_chart->axes(Qt::Horizontal);
    if (axes.isEmpty())
        return;
    auto *axisX = static_cast<QBarCategoryAxis *>(axes.constFirst());
    if (axisX->count() == 0)
        return;
    const qreal room = m_chart->plotArea().width() / axisX->count();
    // Upright at the usual size, or a point smaller; else on their side.
    QFont font = axisX->labelsFont();
    int angle = -90;
    int size = 10;
    for (const int px : {10, 9}) {
        font.setPixelSize(px);
        const QFontMetrics fm(font);
        int widest = 0;
        for (const QString &label : axisX->categories())
            widest = std::max(widest, fm.horizontalAdvance(label));
        if (widest + 2 <= room) {
            angle = 0;
            size = px;
            break;
        }
    }
    font.setPixelSize(size);
    if (axisX->labelsFont() != font)
        axisX->setLabelsFont(font);
    if (axisX->labelsAngle() != angle)
        axisX->setLabelsAngle(angle);
}

void dlgChart::Form_Load()
{
    lobbyModule::setTopmost(this);
    mintChartMode = 0;
}

void dlgChart::fetchFirstView()
{
    mintChartMode = 0;
    refreshChart(0);
}

void dlgChart::showEvent(QShowEvent *event)
{
    dialog::centreOnOwner(this);
    Form::showEvent(event);
}

void dlgChart::refreshChart(qint16 mode)
{
    chChart->hide();
    lblMessage->setText(kLoading);
    lblMessage->show();

    QList<QVariant> counts(kCountSlots);
    QString seed;
    const qint16 status = frmCom::get()->getChartData(mode, counts, seed);
    // Closed (or the line dropped) while the server was asked: nothing to show.
    if (!Forms::isCurrent(this))
        return;
    if (status == StatusOK && displayChart(mode, counts, seed)) {
        lblMessage->hide();
        chChart->show();
    } else {
        lblMessage->setText(kFailed);
    }
    cmdChange->setEnabled(true);
}

bool dlgChart::displayChart(qint16 mode, const QList<QVariant> &counts, const QString &seed)
{
    marrChartData.clear();
    auto count = [&counts](int slot) { return slot < counts.size() ? counts.at(slot) : QVariant(); };
    QList<std::array<QVariant, 2>> grid;
    QString caption;
    if (mode != 0) {
        const QStringList parts = seed.split(u'/');
        if (parts.size() < 3)
            return false;
        const auto year = protocol::toInteger(parts.at(0));
        const auto month = protocol::toInteger(parts.at(1));
        const auto day = protocol::toInteger(parts.at(2));
        if (!year || !month || !day)
            return false;
        std::optional<QDate> date = dateFromParts(*year, *month, *day);
        if (!date)
            return false;
        grid.resize(kDays);
        for (int r = kDays - 1; r >= 0; --r) {
            grid[r][0] = date->toString(QStringLiteral("yyyy/M/d"));
            *date = date->addDays(-1);
            grid[r][1] = count(kDays - 1 - r);
        }
        caption = QStringLiteral("本日まで一週間のユーザーのアクセス状況です。");
    } else {
        const auto hour = protocol::toInteger(seed);
        if (!hour)
            return false;
        int h = *hour;
        bool wrapped = false;
        grid.resize(kHours);
        for (int r = kHours - 1; r >= 0; --r) {
            grid[r][0] = QString::number(h) + QStringLiteral("時");
            --h;
            if (h < 0 && !wrapped) {
                wrapped = true;
                h = 23;
            }
            grid[r][1] = count(kHours - 1 - r);
        }
        caption = QStringLiteral("現在までの24時間のユーザーのアクセス状況です。");
    }
    marrChartData = grid;
    m_chart->setTitle(caption);
    showGrid();
    return true;
}

// Rows run along the category axis, oldest on the left. A row without a count
// breaks the line rather than joining its neighbours across the gap.
void dlgChart::showGrid()
{
    auto *axisX = static_cast<QBarCategoryAxis *>(m_chart->axes(Qt::Horizontal).constFirst());
    auto *axisY = static_cast<QValueAxis *>(m_chart->axes(Qt::Vertical).constFirst());
    axisY->setTitleText(QStringLiteral("アクセス数"));
    m_chart->removeAllSeries();
    axisX->clear();

    QStringList labels;
    int low = 0;
    int high = 1;
    QLineSeries *segment = nullptr;
    const QPen pen(QColor(0x1f, 0x5f, 0xbf), 2);
    for (qsizetype r = 0; r < marrChartData.size(); ++r) {
        const auto &row = marrChartData.at(r);
        labels << row[0].toString();
        if (!row[1].isValid()) {
            segment = nullptr;
            continue;
        }
        const int value = row[1].toInt();
        low = std::min(low, value);
        high = std::max(high, value);
        if (!segment) {
            segment = new QLineSeries;
            segment->setPen(pen);
            segment->setPointsVisible(true);
            m_chart->addSeries(segment);
            segment->attachAxis(axisX);
            segment->attachAxis(axisY);
        }
        segment->append(qreal(r), value);
    }
    axisX->append(labels);
    const Scale scale = valueScale(low, high);
    axisY->setRange(scale.min, scale.max);
    axisY->setTickInterval(scale.step);
    fitCategoryLabels();
}

void dlgChart::cmdChange_Click()
{
    if (mintChartMode == 0) {
        mintChartMode = 1;
        cmdChange->setText(QStringLiteral("24H 表示"));
    } else {
        mintChartMode = 0;
        cmdChange->setText(QStringLiteral("週間表示"));
    }
    cmdChange->setEnabled(false);
    refreshChart(mintChartMode);
}

void dlgChart::OKButton_Click()
{
    Forms::unload<dlgChart>();
}
