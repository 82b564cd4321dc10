// Requests whose answer is a data line rather than a status line.
#include "net/frmCom.h"

#include "net/protocol/protocol.h"

qint16 frmCom::getRoomList()
{
    println(QString::fromLatin1(protocol::kw::ROOMLIST));
    blnRoomListReady = false;
    intTick = 0;
    for (;;) {
        waitForEvents();
        // The time limit is tested first: an answer in the same pass as the
        // eleventh tick counts as none.
        if (intTick > 10)
            return 2;
        if (blnRoomListReady)
            return 1;
    }
}

qint16 frmCom::getChartData(qint16 kind, QList<QVariant> &values, QString &date)
{
    println(QString::fromLatin1(kind != 0 ? protocol::kw::WEEKCHART : protocol::kw::DAYCHART));
    blnChartReady = false;
    intTick = 0;
    for (;;) {
        waitForEvents();
        if (intTick > 10)
            return 2;
        if (blnChartReady)
            break;
    }
    if (values.size() < aintChart.size())
        values.resize(aintChart.size());
    for (qsizetype i = 0; i < aintChart.size(); ++i)
        values[i] = QVariant::fromValue<qint16>(aintChart.at(i));
    date = strChartDate;
    return 1;
}

QStringList frmCom::playerList() const
{
    return astrPlayers;
}
