#pragma once
// What the operators decide about players: bans and mutes (kept in the store, so
// every node sharing it applies them), the word list, and the automatic flood mute.
// Single-threaded, on the server's event loop.
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

#include "lobbystore.h"

// Words masked in relayed chat, room names and comments. The file has one word per
// line; lines after "[Game name]" apply to that game only, lines before any section
// to all; "#" starts a comment line. Words of ASCII letters and digits match whole
// words only, others anywhere; case is ignored. A match becomes as many "*".
class WordList {
public:
    static std::optional<WordList> fromFile(const QString &path, QString *error);
    static WordList fromText(const QString &text);
    QString mask(const QString &text, const QString &game) const;
    int wordCount() const { return m_count; }

private:
    QHash<QString, QRegularExpression> m_patterns; // by game; "" for every game
    int m_count = 0;
};

class Moderation {
public:
    // The name notices come from: "[" is refused in user IDs, so nobody can register it.
    static constexpr const char16_t *kNoticeSender = u"[運営]";
    // Flood limit: more than lines in windowMs mutes for muteSecs, doubled for each
    // further auto-mute of the account within a day, at most maxMuteSecs.
    struct FloodLimit {
        int lines = 20;
        int windowMs = 10000;
        int muteSecs = 60;
        int maxMuteSecs = 3600;
    };

    explicit Moderation(LobbyStore &store);

    // Seconds since the epoch and a monotonic millisecond tick; tests set both.
    void setClock(std::function<qint64()> epochSecs, std::function<qint64()> tickMs);
    qint64 now() const { return m_epoch(); }

    void setWordList(WordList list) { m_words = std::move(list); }
    const WordList &wordList() const { return m_words; }
    QString mask(const QString &text, const QString &game) const { return m_words.mask(text, game); }

    void setFloodLimit(const FloodLimit &limit) { m_flood = limit; }
    const FloodLimit &floodLimit() const { return m_flood; }

    // The ban that keeps this account (its folded ID) or address out, if any. Read from
    // the store at each sign-in; nullopt also when the store failed (sign-in goes on).
    std::optional<LobbyStore::Sanction> banOf(const QString &account, const QHostAddress &address);
    // Mutes come from the store, re-read at most every kRefreshMs and after every change
    // made here. 0 when not muted, -1 muted until lifted, else the end in epoch seconds.
    qint64 mutedUntil(const QString &account);
    void reloadMutes();
    // A chat line of account; true when it crosses the flood limit (the caller mutes).
    bool floodCrossed(const QString &account);
    // Length of the next automatic mute of account, in seconds.
    qint64 nextAutoMuteSecs(const QString &account);
    void forget(const QString &account) { m_recent.remove(account); }

    // Stores a ban or mute and its audit entry; secs 0: until lifted. False when the
    // store failed (then nothing is in force).
    bool impose(const QString &kind, const QString &scope, const QString &target, qint64 secs, const QString &reason,
                const QString &actor);
    // Lifts them and writes the audit entry; how many were in force, -1 on failure.
    int lift(const QString &kind, const QString &scope, const QString &target, const QString &actor);
    // An audit entry for an action that is not a sanction (kick, notice, accounts).
    bool record(const QString &action, const QString &target, const QString &reason, const QString &actor,
                qint64 expires = 0);
    // Called after every change of bans or mutes made here.
    void setChangeHandler(std::function<void()> handler) { m_changed = std::move(handler); }
    // Actions recorded since start, by action name (for the metrics).
    const QHash<QString, quint64> &actionCounts() const { return m_actions; }

    static constexpr qint64 kRefreshMs = 15000;

private:
    LobbyStore &m_store;
    std::function<qint64()> m_epoch;
    std::function<qint64()> m_tick;
    WordList m_words;
    FloodLimit m_flood;
    QHash<QString, qint64> m_mutes; // folded ID -> end (-1: until lifted)
    qint64 m_mutesRead = -1;        // tick of the last read
    QHash<QString, std::deque<qint64>> m_recent; // folded ID -> ticks of its last lines
    struct AutoMutes {
        int count = 0;
        qint64 last = 0; // epoch seconds
    };
    QHash<QString, AutoMutes> m_autoMutes;
    QHash<QString, quint64> m_actions;
    std::function<void()> m_changed;
};

// "90", "90s", "30m", "12h", "7d" in seconds; nullopt when not a positive duration.
std::optional<qint64> parseDuration(const QString &text);
// A single address or a network in CIDR form, normalised ("10.0.0.0/8"); nullopt when neither.
std::optional<QString> parseAddressTarget(const QString &text);
