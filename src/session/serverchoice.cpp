#include "serverchoice.h"

#include "settingkeys.h"

#include <arpa/inet.h>
#include <mutex>

namespace serverchoice {
namespace {

std::mutex g_mutex;
std::optional<Server> g_chosen;

// A DNS name (letters, digits, '-', '_' and dots, at most 253) or an IP address.
bool acceptableHost(const QString &host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    if (host.contains(u':')) {
        unsigned char buffer[16];
        return ::inet_pton(AF_INET6, host.toLatin1().constData(), buffer) == 1;
    }
    for (const QChar c : host) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'-'
                        || u == u'_' || u == u'.';
        if (!ok)
            return false;
    }
    return true;
}

// Takes a leading "tls://" (any case) off the text; true when there was one.
bool takeTlsScheme(QString &text)
{
    static constexpr QStringView scheme = u"tls://";
    if (!text.startsWith(scheme, Qt::CaseInsensitive))
        return false;
    text.remove(0, scheme.size());
    return true;
}

std::optional<quint16> parsePort(const QString &text)
{
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    for (const QChar c : text)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    const uint p = text.toUInt();
    if (p == 0 || p > 65535)
        return std::nullopt;
    return quint16(p);
}

} // namespace

std::optional<Server> make(const QString &host, int port)
{
    if (port < 0 || port > 65535)
        return std::nullopt;
    QString h = host;
    const bool tls = takeTlsScheme(h);
    if (h.startsWith(u'[') && h.endsWith(u']'))
        h = h.mid(1, h.size() - 2);
    if (!acceptableHost(h))
        return std::nullopt;
    return Server{h, QString::number(port == 0 ? kDefaultPort : port), tls, {}};
}

std::optional<Server> parse(const QString &input)
{
    QString text = input.trimmed();
    const bool tls = takeTlsScheme(text);
    QString host = text;
    QString port;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            port = rest.mid(1);
            if (port.isEmpty())
                return std::nullopt;
        }
        if (!host.contains(u':'))
            return std::nullopt; // brackets are for IPv6 only
    } else if (text.count(u':') == 1) {
        const qsizetype colon = text.indexOf(u':');
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (port.isEmpty())
            return std::nullopt;
    }
    int p = 0;
    if (!port.isEmpty()) {
        const auto parsed = parsePort(port);
        if (!parsed)
            return std::nullopt;
        p = *parsed;
    }
    if (!acceptableHost(host))
        return std::nullopt;
    auto server = make(host, p);
    if (server)
        server->tls = tls;
    return server;
}

void setChosen(const std::optional<Server> &server)
{
    std::lock_guard lock(g_mutex);
    g_chosen = server;
}

Server current()
{
    {
        std::lock_guard lock(g_mutex);
        if (g_chosen)
            return *g_chosen;
    }
    const QString env = qEnvironmentVariable("QORCHAT_SERVER");
    if (!env.isEmpty()) {
        if (const auto s = parse(env))
            return *s;
        qWarning("qorchat: QORCHAT_SERVER is not [tls://]HOST[:PORT]; using the settings");
    }
    Server s;
    s.host = settings::get(settings::key::serverAddress);
    s.port = settings::get(settings::key::serverPort);
    // A pin that quietly went unused would leave the line in clear.
    s.fingerprint = settings::get(settings::key::serverTlsFingerprint).trimmed();
    s.tls = settings::isTrue(settings::key::serverTls) || !s.fingerprint.isEmpty();
    return s;
}

QByteArray parseFingerprint(QStringView text)
{
    QByteArray hex;
    for (const QChar c : text) {
        if (c == u':' || c == u' ')
            continue;
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F')))
            return {};
        hex.append(char(u));
    }
    if (hex.size() != 64)
        return {};
    return QByteArray::fromHex(hex);
}

} // namespace serverchoice
