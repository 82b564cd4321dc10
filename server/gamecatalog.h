#pragma once
// The games the server accepts, from a JSON file or, without one, any name with
// the default settings.
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct GameInfo {
    QString name;
    int id = 1;
    int minPlayers = 2;
    int maxPlayers = 8;
    bool topmost = true;
    QStringList phrases;
};

class GameCatalog {
public:
    // Accepts every game name with the defaults.
    GameCatalog();
    // Reads a JSON array of {"name", "id", "minPlayers", "maxPlayers", "topmost",
    // "phrases"}; missing fields take the defaults. Returns nullopt and sets error when
    // the file cannot be read or a field is unusable.
    static std::optional<GameCatalog> fromFile(const QString &path, QString *error);
    static std::optional<GameCatalog> fromJson(const QByteArray &json, QString *error);

    std::optional<GameInfo> find(const QString &name) const;
    bool acceptsAnyGame() const { return m_any; }
    static QStringList defaultPhrases();

private:
    bool m_any = true;
    QList<GameInfo> m_games;
};
