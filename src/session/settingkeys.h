#pragma once
// Every value the component keeps in the settings store, in one table: its
// section, its key and what reading it gives when it is missing. Call sites name a
// key from here instead of spelling section and key again (docs/settings.md lists
// the same table for people).
#include "serverchoice.h"
#include "settings.h"

#include <QString>

#include <initializer_list>
#include <utility>

namespace settings {

struct Key {
    const char *section;
    const char *name;
    // Read when the value is missing or empty.
    const char *fallback = "";

    QString sectionName() const { return QString::fromLatin1(section); }
    QString keyName() const { return QString::fromLatin1(name); }
};

namespace section {
inline constexpr char user[] = "user";
inline constexpr char server[] = "server";
inline constexpr char dbg[] = "dbg";
// The user's own canned phrases, keys "1".."15".
inline constexpr char ownPhrases[] = "chat";
// The phrases a game's server sent, keys "1".."n".
inline QString gamePhrases(const QString &gameName) { return QStringLiteral("chat\\") + gameName; }
} // namespace section

namespace key {
inline constexpr Key userName{section::user, "name"};
inline constexpr Key userPassword{section::user, "password"}; // scrambled, lobbyModule::encodeString
inline constexpr Key userComment{section::user, "comment"};
inline constexpr Key userEmail{section::user, "email"};
inline constexpr Key userLicence{section::user, "licence"};    // "true" once the terms were accepted
inline constexpr Key userIpWarn{section::user, "ipwarn"};      // "false" silences the private-address warning
inline constexpr Key serverAddress{section::server, "address", serverchoice::kDefaultHost};
inline constexpr Key serverPort{section::server, "port", "2300"};
inline constexpr Key serverTls{section::server, "tls"};
inline constexpr Key serverTlsFingerprint{section::server, "tls_fingerprint"};
inline constexpr Key serverHelp{section::server, "help"};
inline constexpr Key dbgHostIp{section::dbg, "hostip"};
inline constexpr Key dbgGameName{section::dbg, "gname"};
inline constexpr Key dbgDisplay{section::dbg, "display"};     // "true" echoes every server line

inline constexpr Key all[] = {userName,     userPassword,  userComment, userEmail,     userLicence,
                              userIpWarn,   serverAddress, serverPort,  serverTls,     serverTlsFingerprint,
                              serverHelp,   dbgHostIp,     dbgGameName, dbgDisplay};
} // namespace key

namespace detail {
constexpr unsigned decimal(const char *s, unsigned v = 0) { return *s ? decimal(s + 1, v * 10 + unsigned(*s - '0')) : v; }
} // namespace detail
static_assert(detail::decimal(key::serverPort.fallback) == serverchoice::kDefaultPort);

// The stored value, or the key's fallback when there is none.
inline QString get(const Key &k)
{
    const QString v = GetSetting(k.sectionName(), k.keyName());
    return v.isEmpty() ? QString::fromLatin1(k.fallback) : v;
}
inline bool isTrue(const Key &k) { return get(k) == QLatin1String("true"); }
inline bool save(const Key &k, const QString &value) { return SaveSetting(k.sectionName(), k.keyName(), value); }
// Several keys of one section in one write: all of them are stored, or none.
inline bool save(std::initializer_list<std::pair<Key, QString>> entries)
{
    if (entries.size() == 0)
        return true;
    Values values;
    for (const auto &[k, v] : entries) {
        Q_ASSERT(qstrcmp(k.section, entries.begin()->first.section) == 0);
        values.append({k.keyName(), v});
    }
    return SaveSettings(entries.begin()->first.sectionName(), values);
}

} // namespace settings
