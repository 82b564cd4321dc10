#include "gamecatalog.h"

#include "wire/rules.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>

GameCatalog::GameCatalog() = default;

QStringList GameCatalog::defaultPhrases()
{
    return {QStringLiteral("よろしくお願いします"), QStringLiteral("こんにちは"),
            QStringLiteral("ちょっと待ってください"), QStringLiteral("ありがとうございました"),
            QStringLiteral("おつかれさまでした")};
}

std::optional<GameCatalog> GameCatalog::fromFile(const QString &path, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return std::nullopt;
    }
    auto catalog = fromJson(f.readAll(), error);
    if (!catalog)
        *error = QStringLiteral("%1: %2").arg(path, *error);
    return catalog;
}


static std::optional<int> intField(const QJsonObject &o, const char *key, int fallback, int lo, int hi, QString *error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return fallback;
    const double d = v.toDouble();
    if (!v.isDouble() || d < lo || d > hi || d != double(int(d))) {
        *error = QStringLiteral("\"%1\" must be a whole number from %2 to %3").arg(QLatin1String(key)).arg(lo).arg(hi);
        return std::nullopt;
    }
    return int(d);
}

std::optional<GameCatalog> GameCatalog::fromJson(const QByteArray &json, QString *error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (pe.error != QJsonParseError::NoError) {
        *error = QStringLiteral("offset %1: %2").arg(pe.offset).arg(pe.errorString());
        return std::nullopt;
    }
    if (!doc.isArray()) {
        *error = QStringLiteral("expected a list of games");
        return std::nullopt;
    }
    GameCatalog catalog;
    catalog.m_any = false;
    QSet<QString> names;
    int index = 0;
    for (const QJsonValue &v : doc.array()) {
        const QString where = QStringLiteral("game %1: ").arg(index++);
        if (!v.isObject()) {
            *error = where + QStringLiteral("expected an object");
            return std::nullopt;
        }
        const QJsonObject o = v.toObject();
        // What the lines carry must not break them: no CR or LF, no "@" inside a phrase.
        GameInfo g;
        g.name = o.value(QLatin1String("name")).toString();
        if (g.name.isEmpty() || protocol::hasControl(g.name)) {
            *error = where + QStringLiteral("\"name\" must be a non-empty string without control characters");
            return std::nullopt;
        }
        if (names.contains(g.name)) {
            *error = where + QStringLiteral("the name %1 is listed twice").arg(g.name);
            return std::nullopt;
        }
        names.insert(g.name);
        QString fieldError;
        // The client holds these in 16-bit integers.
        const auto id = intField(o, "id", g.id, 0, 32767, &fieldError);
        const auto maxPlayers = id ? intField(o, "maxPlayers", g.maxPlayers, 1, 32767, &fieldError) : std::nullopt;
        const auto minPlayers =
            maxPlayers ? intField(o, "minPlayers", std::min(g.minPlayers, *maxPlayers), 1, *maxPlayers, &fieldError)
                       : std::nullopt;
        if (!minPlayers) {
            *error = where + fieldError;
            return std::nullopt;
        }
        g.id = *id;
        g.maxPlayers = *maxPlayers;
        g.minPlayers = *minPlayers;
        const QJsonValue topmost = o.value(QLatin1String("topmost"));
        if (!topmost.isUndefined() && !topmost.isBool()) {
            *error = where + QStringLiteral("\"topmost\" must be true or false");
            return std::nullopt;
        }
        g.topmost = topmost.toBool(true);
        const QJsonValue phrases = o.value(QLatin1String("phrases"));
        if (phrases.isUndefined()) {
            g.phrases = defaultPhrases();
        } else if (!phrases.isArray()) {
            *error = where + QStringLiteral("\"phrases\" must be a list of strings");
            return std::nullopt;
        } else {
            for (const QJsonValue &p : phrases.toArray()) {
                const QString text = p.toString();
                if (!p.isString() || text.contains(u'@') || protocol::hasControl(text)) {
                    *error = where + QStringLiteral("a phrase must be a string without \"@\" or control characters");
                    return std::nullopt;
                }
                g.phrases << text;
            }
        }
        catalog.m_games << g;
    }
    return catalog;
}

std::optional<GameInfo> GameCatalog::find(const QString &name) const
{
    if (m_any) {
        if (name.isEmpty() || protocol::hasControl(name))
            return std::nullopt;
        GameInfo g;
        g.name = name;
        g.phrases = defaultPhrases();
        return g;
    }
    for (const GameInfo &g : m_games) {
        if (g.name == name)
            return g;
    }
    return std::nullopt;
}
