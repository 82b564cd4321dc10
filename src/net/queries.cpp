// Requests whose answer is a data line rather than a status line.
#include "net/frmCom.h"

#include "net/protocol/protocol.h"
#include "session/clientLog.h"
#include "session/sessionState.h"

qint16 frmCom::getRoomList()
{
    send(protocol::client::RoomList{});
    m_received.blnRoomListReady = false;
    if (waitFor([this] { return m_received.blnRoomListReady; }) == WaitEnd::TimedOut) {
        qCInfo(lcClient) << "no room list in time";
        return StatusErr;
    }
    return StatusOK;
}

qint16 frmCom::getChartData(qint16 kind, QList<QVariant> &values, QString &date)
{
    if (kind != 0)
        send(protocol::client::WeekChart{});
    else
        send(protocol::client::DayChart{});
    m_received.blnChartReady = false;
    if (waitFor([this] { return m_received.blnChartReady; }) == WaitEnd::TimedOut) {
        qCInfo(lcClient) << "no chart in time";
        return StatusErr;
    }
    const QList<qint16> &chart = m_received.aintChart;
    if (values.size() < chart.size())
        values.resize(chart.size());
    for (qsizetype i = 0; i < chart.size(); ++i)
        values[i] = QVariant::fromValue<qint16>(chart.at(i));
    date = m_received.strChartDate;
    return StatusOK;
}
