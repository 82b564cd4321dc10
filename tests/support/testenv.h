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

private:
    QTemporaryDir m_dir;
    QByteArray m_old;
    bool m_hadOld = false;
};
