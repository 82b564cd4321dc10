#include "qorchat/qorchat.hpp"

#include "display.h"
#include "execute.h"

#include "session/serverchoice.h"

#include <QApplication>
#include <QThread>

#include <atomic>
#include <cstring>
#include <exception>

namespace {

std::atomic<int> g_lastOutcome{QORCHAT_OUTCOME_NONE};

// The game may have no Qt application of its own; the first call makes one and
// keeps it for the life of the process. Without a display Qt would abort the
// process while making it, so that is decided first.
int ensureApplication()
{
    if (QCoreApplication *app = QCoreApplication::instance()) {
        if (!qobject_cast<QApplication *>(app))
            return QORCHAT_E_NO_GUI;
        if (app->thread() != QThread::currentThread())
            return QORCHAT_E_WRONG_THREAD;
        return QORCHAT_OK;
    }
    const component::DisplayProbe probe = component::systemDisplayProbe();
    const std::optional<QByteArray> platform = component::guiPlatform(probe);
    if (!platform)
        return QORCHAT_E_NO_DISPLAY;
    static int argc = 1;
    static char name[] = "qorchat";
    static char platformOption[] = "-platform";
    static QByteArray platformName;
    static char *argv[] = {name, nullptr, nullptr, nullptr};
    const component::PlatformStart start = component::platformStart(*platform, probe);
    argc = 1;
    if (!start.platforms.isEmpty()) {
        platformName = start.platforms;
        argv[1] = platformOption;
        argv[2] = platformName.data();
        argc = 3;
    }
    auto *app = new QApplication(argc, argv);
    if (!start.fallback.isEmpty() && QGuiApplication::platformName().toLatin1() == start.fallback) {
        // The display refused Qt after the probe: no lobby, and the next call tries again.
        delete app;
        return QORCHAT_E_NO_DISPLAY;
    }
    return QORCHAT_OK;
}

int copyOut(const QString &text, char *out, size_t size, size_t *length)
{
    const QByteArray utf8 = text.toUtf8();
    if (length)
        *length = size_t(utf8.size());
    if (!out || size == 0)
        return utf8.isEmpty() ? QORCHAT_OK : QORCHAT_E_BUFFER;
    const size_t n = std::min(size - 1, size_t(utf8.size()));
    std::memcpy(out, utf8.constData(), n);
    out[n] = '\0';
    return n == size_t(utf8.size()) ? QORCHAT_OK : QORCHAT_E_BUFFER;
}

int outcomeOf(LobbyEnd end, bool joining, const QString &address)
{
    switch (end) {
    case LobbyEnd::MatchStarted:
        // Empty is what the host gets: a joining game must not take it for that.
        return joining && address.isEmpty() ? QORCHAT_OUTCOME_ADDRESS_UNKNOWN : QORCHAT_OUTCOME_MATCH_STARTED;
    case LobbyEnd::SignInFailed: return QORCHAT_OUTCOME_SIGN_IN_FAILED;
    case LobbyEnd::ServerUnreachable: return QORCHAT_OUTCOME_SERVER_UNREACHABLE;
    case LobbyEnd::UserLeft:
    case LobbyEnd::None: break;
    }
    // The lobby closed without another reason: the user closed it.
    return QORCHAT_OUTCOME_USER_LEFT;
}

} // namespace

int QorChat::Execute(QString &gameName, int16_t &host, QString &strIp)
{
    try {
        if (const int r = ensureApplication(); r != QORCHAT_OK) {
            if (r == QORCHAT_E_NO_DISPLAY) {
                strIp.clear();
                g_lastOutcome = QORCHAT_OUTCOME_NO_DISPLAY;
            } else {
                g_lastOutcome = QORCHAT_OUTCOME_NONE;
            }
            return r;
        }
        LobbyEnd end = LobbyEnd::None;
        const int r = component::execute(gameName, host, strIp, &end);
        if (r != QORCHAT_E_BUSY)
            g_lastOutcome = r == QORCHAT_OK ? outcomeOf(end, host != -1, strIp) : QORCHAT_OUTCOME_NONE;
        return r;
    } catch (...) {
        g_lastOutcome = QORCHAT_OUTCOME_NONE;
        return QORCHAT_E_INTERNAL;
    }
}

int QorChat::Execute(const QString &gameName, bool host, QString &strIp)
{
    QString name = gameName;
    int16_t flag = host ? -1 : 0;
    return Execute(name, flag, strIp);
}

int QorChat::LastOutcome()
{
    return g_lastOutcome;
}

int QorChat::Cancel()
{
    return component::cancel();
}

QString QorChat::ResultString(int result)
{
    return QString::fromLatin1(qorchat_result_string(result));
}

QString QorChat::OutcomeString(int outcome)
{
    return QString::fromLatin1(qorchat_outcome_string(outcome));
}

int QorChat::SetServer(const QString &host, int port)
{
    if (host.isEmpty()) {
        if (port < 0 || port > 65535)
            return QORCHAT_E_ARGUMENT;
        serverchoice::setChosen(std::nullopt);
        return QORCHAT_OK;
    }
    const auto server = serverchoice::make(host, port);
    if (!server)
        return QORCHAT_E_ARGUMENT;
    serverchoice::setChosen(server);
    return QORCHAT_OK;
}

extern "C" {

int qorchat_execute(const char *game_name, int16_t host, char *address, size_t address_size, size_t *address_length)
{
    if (!game_name || (!address && address_size > 0) || !QByteArrayView(game_name).isValidUtf8()) {
        g_lastOutcome = QORCHAT_OUTCOME_NONE;
        return QORCHAT_E_ARGUMENT;
    }
    const QByteArrayView raw(game_name, qsizetype(std::strlen(game_name)));
    QString name = QString::fromUtf8(raw);
    QString ip;
    QorChat chat;
    int16_t flag = host;
    const int r = chat.Execute(name, flag, ip);
    if (r != QORCHAT_OK) {
        if (r == QORCHAT_E_NO_DISPLAY) {
            if (address && address_size > 0)
                address[0] = '\0';
            if (address_length)
                *address_length = 0;
        }
        return r;
    }
    return copyOut(ip, address, address_size, address_length);
}

int qorchat_last_address(char *address, size_t address_size, size_t *address_length)
{
    if (!address && address_size > 0)
        return QORCHAT_E_ARGUMENT;
    return copyOut(component::lastAddress(), address, address_size, address_length);
}

int qorchat_last_outcome(void)
{
    return QorChat::LastOutcome();
}

int qorchat_set_server(const char *host, int port)
{
    if (host && *host) {
        const QByteArrayView raw(host, qsizetype(std::strlen(host)));
        if (!raw.isValidUtf8())
            return QORCHAT_E_ARGUMENT;
        return QorChat::SetServer(QString::fromUtf8(raw), port);
    }
    return QorChat::SetServer(QString(), port);
}

int qorchat_cancel(void)
{
    return QorChat::Cancel();
}

const char *qorchat_result_string(int result)
{
    switch (result) {
    case QORCHAT_OK: return "ok";
    case QORCHAT_E_ARGUMENT: return "invalid argument";
    case QORCHAT_E_BUFFER: return "address buffer too small";
    case QORCHAT_E_NO_GUI: return "the Qt application has no widgets";
    case QORCHAT_E_WRONG_THREAD: return "not called on the GUI thread";
    case QORCHAT_E_BUSY: return "a call is already running";
    case QORCHAT_E_INTERNAL: return "internal error";
    case QORCHAT_E_NO_DISPLAY: return "no display";
    case QORCHAT_E_NOT_RUNNING: return "no call is running";
    }
    return "unknown result";
}

const char *qorchat_outcome_string(int outcome)
{
    switch (outcome) {
    case QORCHAT_OUTCOME_NONE: return "none";
    case QORCHAT_OUTCOME_MATCH_STARTED: return "match started";
    case QORCHAT_OUTCOME_USER_LEFT: return "user left";
    case QORCHAT_OUTCOME_SIGN_IN_FAILED: return "sign-in failed";
    case QORCHAT_OUTCOME_SERVER_UNREACHABLE: return "server unreachable";
    case QORCHAT_OUTCOME_NO_DISPLAY: return "no display";
    case QORCHAT_OUTCOME_ADDRESS_UNKNOWN: return "match started, address unknown";
    }
    return "unknown outcome";
}

const char *qorchat_version(void)
{
    return QORCHAT_VERSION_STRING;
}

} // extern "C"
