#pragma once
// A scratch settings home for one test: XDG_CONFIG_HOME points into a temporary
// folder for as long as the object lives.
#include <QByteArray>
#include <QTemporaryDir>

class TestEnv {
public:
    TestEnv();
    ~TestEnv();
    QString configHome() const { return m_dir.path(); }
    QString settingsFile() const;
    // Writes the settings file as an outside tool would.
    void writeSettings(const QByteArray &utf8) const;
    QByteArray readSettings() const;
    // Settings of a returning user: the server at 127.0.0.1:port, a stored account
    // (password scrambled as the client stores it), no private-address warning.
    void storeReturningUser(const QString &port, const QString &user, const QString &password) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_old;
    bool m_hadOld = false;
};

// The client as a fresh process has it: the session's state, the connection form
// (with tickMs as its tick) and every window and window state.
void resetClient(int tickMs = 1000);
