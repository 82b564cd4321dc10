#pragma once
// Tests reach frmCom's private state here, to set up a race or a limit that the
// wire cannot produce on cue. Product code never includes this.
#include "net/frmCom.h"

#include <QTcpSocket>
#include <QTimer>

struct frmComTestPeer {
    static frmCom::Received &received(frmCom &com) { return com.m_received; }
    static qint16 &intTick(frmCom &com) { return com.intTick; }
    static bool &blnClosing(frmCom &com) { return com.blnClosing; }
    static QTimer *tmrError(frmCom &com) { return com.tmrError; }
    static QTcpSocket *wskTcp(frmCom &com) { return com.wskTcp; }
    static size_t queuedLines(const frmCom &com) { return com.m_queue.size(); }
};
