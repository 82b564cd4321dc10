#include "rules.h"

#include "codec.h"

#include <arpa/inet.h>
#include <cmath>

namespace protocol {

bool hasControl(QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

bool passwordLongEnough(QStringView password) { return password.size() >= limits::kPasswordMinChars; }

bool emailShaped(QStringView email)
{
    return email.size() >= limits::kEmailMinChars && email.contains(u'@') && email.contains(u'.') && !email.contains(u' ');
}

bool validUserId(const QString &user)
{
    return !user.isEmpty() && cp932::byteLength(user) <= limits::kUserIdBytes && !hasControl(user) &&
           !user.contains(QChar::ReplacementCharacter) && cp932::isRepresentable(user) && !hasUserIdSymbol(user);
}

bool validPassword(const QString &password)
{
    return passwordLongEnough(password) && cp932::byteLength(password) <= limits::kPasswordBytes && !hasControl(password) &&
           !password.contains(u' ');
}

bool validEmail(const QString &email)
{
    return emailShaped(email) && !hasControl(email) && cp932::byteLength(email) <= limits::kEmailBytes;
}

bool validComment(const QString &comment)
{
    return cp932::byteLength(comment) <= limits::kCommentBytes && !hasControl(comment);
}

bool validRoomName(const QString &name)
{
    return !name.isEmpty() && !hasControl(name) && cp932::byteLength(name) <= limits::kRoomNameBytes;
}

bool isPlainAddress(QStringView text)
{
    if (text.isEmpty() || text.size() > limits::kAddressChars)
        return false;
    // Only what an address is written with; this also keeps the text Latin-1.
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool hex = (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
        if (!hex && u != u'.' && u != u':')
            return false;
    }
    const QByteArray latin = text.toLatin1();
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, latin.constData(), buffer) == 1 || ::inet_pton(AF_INET6, latin.constData(), buffer) == 1;
}

bool isPrivateAddress(QStringView ip)
{
    if (ip.startsWith(u"10.") || ip.startsWith(u"192.168."))
        return true;
    if (!ip.startsWith(u"172."))
        return false;
    const QStringView rest = ip.mid(4);
    const auto second = toInteger(rest.left(rest.indexOf(u'.')));
    return second && *second >= 16 && *second <= 31;
}

std::optional<qint16> toInteger(QStringView text)
{
    const QStringView t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    for (const QChar c : t) {
        if (!(c.isDigit() && c.unicode() < 0x80) && c != u'.' && c != u'-' && c != u'+' && c != u'e' && c != u'E')
            return std::nullopt;
    }
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (!ok || !std::isfinite(d))
        return std::nullopt;
    const double r = std::nearbyint(d); // the default rounding mode: half to even
    if (r < -32768.0 || r > 32767.0)
        return std::nullopt;
    return qint16(r);
}

std::optional<bool> toBoolean(QStringView text)
{
    const QStringView t = text.trimmed();
    if (t.compare(u"true", Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(u"false", Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (!ok || std::isnan(d))
        return std::nullopt;
    return d != 0.0;
}

} // namespace protocol
