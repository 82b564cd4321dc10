#include "testenv.h"

#include "net/frmCom.h"
#include "platform/forms.h"
#include "session/lobbyModule.h"

#include <QDir>
#include <QFile>

#include "session/lobbyModule.h"
#include "session/settings.h"

TestEnv::TestEnv()
{
    m_hadOld = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    m_old = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", m_dir.path().toUtf8());
}

TestEnv::~TestEnv()
{
    if (m_hadOld)
        qputenv("XDG_CONFIG_HOME", m_old);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

QString TestEnv::settingsFile() const { return m_dir.path() + QStringLiteral("/vantelis/settings.ini"); }

void TestEnv::writeSettings(const QByteArray &utf8) const
{
    QDir().mkpath(m_dir.path() + QStringLiteral("/vantelis"));
    QFile f(settingsFile());
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(utf8);
}

QByteArray TestEnv::readSettings() const
{
    QFile f(settingsFile());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestEnv::storeReturningUser(const QString &port, const QString &user, const QString &password) const
{
    settings::SaveSetting(QStringLiteral("server"), QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    settings::SaveSetting(QStringLiteral("server"), QStringLiteral("port"), port);
    settings::SaveSetting(QStringLiteral("user"), QStringLiteral("ipwarn"), QStringLiteral("false"));
    settings::SaveSetting(QStringLiteral("user"), QStringLiteral("name"), user);
    settings::SaveSetting(QStringLiteral("user"), QStringLiteral("password"), lobbyModule::encodeString(password));
}

void resetClient(int tickMs)
{
    Forms::resetAll();
    frmCom::setTickInterval(tickMs);
    frmCom::resetForTests();
    session().reset();
}
