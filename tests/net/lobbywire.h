#pragma once
// A connection form talking to a scripted loopback server, with the lobby window
// loaded and fast ticks; one per test.
#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "platform/forms.h"
#include "session/lobbyModule.h"
#include "support/fakeplatform.h"
#include "support/scriptedserver.h"
#include "support/testenv.h"

#include <QListWidget>
#include <QTest>

#include <memory>

// The rows a list box shows.
inline QStringList items(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

struct LobbyWire {
    static constexpr int kTickMs = 20;

    TestEnv env;
    FakePlatform fake;
    ScriptedServer server;
    frmCom *com = nullptr;

    explicit LobbyWire(qint16 host = vbFalse)
    {
        resetClient(kTickMs);
        session().gblnHost = host;
        com = frmCom::get();
        Forms::get<frmMain>();
    }
    ~LobbyWire()
    {
        frmCom::resetForTests();
        Forms::resetAll();
    }

    // Connects and waits for the greeting.
    bool connect()
    {
        session().gintStatus = StatusWaiting;
        com->connectTo(QStringLiteral("127.0.0.1"), server.portText());
        QElapsedTimer t;
        t.start();
        while (session().gintStatus != StatusOK && t.elapsed() < 5000)
            frmCom::waitForEvents();
        return session().gintStatus == StatusOK && server.hasClient();
    }

    static frmMain *lobby() { return Forms::get<frmMain>(); }
};
