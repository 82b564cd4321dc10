// Requests whose answer is a data line rather than a status line.
#include "net/frmCom.h"

#include "lobby/frmMain.h"
#include "net/protocol/protocol.h"
#include "platform/forms.h"

#include <QListWidget>

namespace {

// Fills list with one row per stored entry (the last, empty element excluded).
// An empty entry cannot make a row and is skipped; each row keeps the index of
// its entry under Qt::UserRole, so a click finds the right entry either way.
void fillRows(QListWidget *list, const QStringList &stored, QString (*row)(const QString &))
{
    list->clear();
    QStringList rows;
    QList<int> entryOfRow;
    rows.reserve(stored.size());
    entryOfRow.reserve(stored.size());
    for (qsizetype i = 0; i + 1 < stored.size(); ++i) {
        if (stored.at(i).isEmpty())
            continue;
        rows.append(row(stored.at(i)));
        entryOfRow.append(int(i));
    }
    list->addItems(rows);
    for (int r = 0; r < entryOfRow.size(); ++r)
        list->item(r)->setData(Qt::UserRole, entryOfRow.at(r));
}

} // namespace

qint16 frmCom::getRoomList()
{
    println(QString::fromLatin1(protocol::kw::ROOMLIST));
    blnRoomListReady = false;
    resetTicks();
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
    resetTicks();
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

void frmCom::showPlayerList()
{
    fillRows(Forms::get<frmMain>()->lstPlayers, astrPlayers, &protocol::playerRow);
}

void frmCom::showRoomList()
{
    fillRows(Forms::get<frmMain>()->lstRooms, astrRooms, &protocol::roomRow);
}
