#include "serverchoice.h"

#include "session/settings.h"

namespace {
// The lobby server of the demo and of a single-machine setup.
constexpr char kDefaultHost[] = "localhost";
constexpr char kDefaultPort[] = "2300";

bool validPort(QStringView port)
{
    bool ok = false;
    const uint p = port.toUInt(&ok);
    return ok && p > 0 && p <= 65535;
}
} // namespace

std::optional<ServerChoice> parseServerChoice(QStringView text)
{
    ServerChoice choice;
    text = text.trimmed();
    constexpr QStringView scheme = u"tls://";
    if (text.startsWith(scheme, Qt::CaseInsensitive)) {
        choice.tls = true;
        text = text.mid(scheme.size());
    }
    QStringView host = text;
    QStringView port;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        host = text.mid(1, close - 1);
        const QStringView rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            port = rest.mid(1);
        }
        if (!host.contains(u':'))
            return std::nullopt; // brackets are for IPv6 literals only
    } else if (text.count(u':') == 1) {
        const qsizetype colon = text.indexOf(u':');
        host = text.left(colon);
        port = text.mid(colon + 1);
    }
    if (host.isEmpty() || (!port.isNull() && !validPort(port)))
        return std::nullopt;
    for (QChar c : host) {
        if (c.isSpace() || c.unicode() < 0x20 || c == u'/' || c == u'[' || c == u']' || c == u'@')
            return std::nullopt;
    }
    choice.host = host.toString();
    choice.port = port.toString();
    return choice;
}

ServerChoice serverFromSettings()
{
    const QString section = QStringLiteral("server");
    ServerChoice choice;
    choice.host = settings::GetSetting(section, QStringLiteral("address"));
    if (choice.host.isEmpty())
        choice.host = QString::fromLatin1(kDefaultHost);
    choice.port = settings::GetSetting(section, QStringLiteral("port"));
    if (choice.port.isEmpty())
        choice.port = QString::fromLatin1(kDefaultPort);
    choice.fingerprint = settings::GetSetting(section, QStringLiteral("tls_fingerprint")).trimmed();
    choice.tls = settings::GetSetting(section, QStringLiteral("tls")) == QLatin1String("true")
                 || !choice.fingerprint.isEmpty();
    return choice;
}

QByteArray parseFingerprint(QStringView text)
{
    QByteArray hex;
    for (QChar c : text) {
        if (c == u':' || c == u' ')
            continue;
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F')))
            return {};
        hex.append(char(c.unicode()));
    }
    if (hex.size() != 64)
        return {};
    return QByteArray::fromHex(hex);
}
