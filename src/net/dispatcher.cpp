#include "dispatcher.h"

#include "net/frmCom.h"
#include "net/protocol/protocol.h"
#include "session/lobbyModule.h"

namespace dispatcher {

bool dispatchLine(frmCom &com, const QString &line)
{
    if (com.blnClosing)
        return false;
    const QStringList t = protocol::tokens(line);
    const QString &key = t.at(0);
    if (key == QLatin1String(protocol::kw::OK)) {
        gintStatus = StatusOK;
    } else if (key == QLatin1String(protocol::kw::ERR)) {
        gintStatus = StatusErr;
        if (t.size() > 1)
            gintErrCode = lobbyModule::toInteger(t.at(1)).value_or(0);
    }
    return true;
}

} // namespace dispatcher
