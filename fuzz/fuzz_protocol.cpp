// Every parser of server and client lines in the protocol module, on any decoded
// line: no crash, and the properties the dispatcher and the server rely on.
#include "fuzzcheck.h"
#include "net/protocol/clientlines.h"
#include "net/protocol/protocol.h"
#include "wire/codec.h"
#include "wire/rules.h"

#include <cstdint>

using namespace protocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const qsizetype n = data[0] % 40;
    const QString line = cp932::decode(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    const QStringList t = tokens(line);
    FUZZ_CHECK(!t.isEmpty());
    FUZZ_CHECK(t.join(u' ') == line);
    FUZZ_CHECK(keyword(line) == t.at(0));
    // The bounded split is the start of the full one.
    const QStringList first = tokens(line, n);
    FUZZ_CHECK(first.size() == std::min(n, t.size()));
    for (qsizetype i = 0; i < first.size(); ++i)
        FUZZ_CHECK(first.at(i) == t.at(i));

    const QString rest = restOfLine(line);
    if (t.size() >= 3)
        FUZZ_CHECK(rest == line.mid(t.at(0).size() + t.at(1).size() + 2));
    else
        FUZZ_CHECK(rest.isEmpty());
    FUZZ_CHECK(afterKeyword(line) == (t.size() > 1 ? line.mid(t.at(0).size() + 1) : QString()));

    const QStringList fields = fieldsAndRest(line, int(n));
    FUZZ_CHECK(fields.size() == n + 1);
    for (qsizetype i = 0; i < n && i + 1 < t.size(); ++i)
        FUZZ_CHECK(fields.at(i) == t.at(i + 1));

    const QString room = roomNameArgument(line);
    FUZZ_CHECK(!room.endsWith(u' '));
    FUZZ_CHECK(afterKeyword(line).startsWith(room));

    const QStringList entries = listEntries(line);
    FUZZ_CHECK(entries == line.split(u'\n').mid(1));
    if (!entries.isEmpty())
        FUZZ_CHECK(listEntries(listLine(QStringLiteral("PLAYERLIST"), entries)) == entries);
    for (const QString &e : entries) {
        const RoomEntry r = roomEntry(e);
        FUZZ_CHECK(r.name + r.status == e);
        roomRow(e);
        playerRow(e);
    }

    const QStringList phrases = chatPhrases(line);
    qsizetype more = -1;
    const QStringList capped = chatPhrases(line, n, &more);
    FUZZ_CHECK(capped == phrases.mid(0, n));
    FUZZ_CHECK(more == phrases.size() - capped.size());
    if (!line.contains(u'@'))
        FUZZ_CHECK(phrases.isEmpty());
    QStringList clean;
    for (const QString &p : t)
        if (!p.contains(u'@'))
            clean << p;
    FUZZ_CHECK(chatPhrases(chatDataLine(clean)) == clean);

    // Game names travel escaped; one without backslashes comes back unchanged.
    if (!line.contains(u'\\'))
        FUZZ_CHECK(unescapeGameName(escapeGameName(line)) == line);
    FUZZ_CHECK(gameName(line).startsWith(QStringLiteral("GAMENAME ")));

    // Client lines carry their arguments as they are.
    FUZZ_CHECK(afterKeyword(lobbyMessage(line)) == line);
    FUZZ_CHECK(fieldsAndRest(registUser(t.value(0), t.value(1), t.value(2), rest), 3)
               == (QStringList{t.value(0), t.value(1), t.value(2), rest}));
    enterRoom(line);
    roomPlayerList(line);
    playerInfo(line);

    // Every line is one command or Unknown; what the client would send for that
    // command reads back as the same command.
    const client::Line parsed = client::parseClientLine(line);
    if (const auto *u = std::get_if<client::Unknown>(&parsed)) {
        FUZZ_CHECK(u->keyword == keyword(line));
        FUZZ_CHECK((u->why == client::Unknown::Why::NoKeyword) == keyword(line).isEmpty());
    } else {
        FUZZ_CHECK(client::parseClientLine(client::encode(parsed)) == parsed);
        FUZZ_CHECK(keyword(client::encode(parsed)) == keyword(line));
    }
    if (const auto *m = std::get_if<client::LobbyMessage>(&parsed))
        FUZZ_CHECK(m->text == afterKeyword(line));
    if (const auto *r = std::get_if<client::RegistUser>(&parsed))
        FUZZ_CHECK((QStringList{r->user, r->password, r->email, r->comment}) == fieldsAndRest(line, 3));
    if (const auto *e = std::get_if<client::EnterRoom>(&parsed))
        FUZZ_CHECK(e->name == roomNameArgument(line));

    // The typed parsers read what a split of the whole line reads.
    const auto token = [&t](qsizetype i) { return i < t.size() ? std::optional<QString>(t.at(i)) : std::nullopt; };
    const auto number = [&](qsizetype i) { return i < t.size() ? toInteger(t.at(i)) : std::nullopt; };
    const ServerLine kind = serverLine(line);
    if (const auto s = parseStatus(line)) {
        FUZZ_CHECK(s->ok == (kind == ServerLine::Ok));
        FUZZ_CHECK(s->code == (s->ok || t.size() < 2 ? std::nullopt : std::optional<qint16>(number(1).value_or(0))));
    }
    if (const auto c = parseChatLine(line))
        FUZZ_CHECK(c->sender == t.at(1) && c->text == rest);
    else if (kind == ServerLine::LobbyMessage || kind == ServerLine::RoomMessage)
        FUZZ_CHECK(t.size() == 1);
    if (const auto p = parsePlayerInfo(line))
        FUZZ_CHECK(p->name == t.at(1) && p->comment == rest);
    if (const auto l = parseListLine(line))
        FUZZ_CHECK(l->entries == entries);
    if (const auto c = parseChart(line)) {
        const qsizetype d = c->week ? 1 : 2;
        QList<qint16> values;
        for (qsizetype i = d + 1; i < t.size() && values.size() < kChartValues; ++i)
            values << number(i).value_or(0);
        FUZZ_CHECK(c->date == (t.size() < 2 ? std::nullopt : token(d)));
        FUZZ_CHECK(c->values == (t.size() < 2 ? std::nullopt : std::optional(values)));
    }
    if (const auto h = parseHostIp(line)) {
        const bool plain = t.size() > 1 && isPlainAddress(t.at(1));
        FUZZ_CHECK(h->address == (t.size() < 2 ? std::nullopt : std::optional(plain ? t.at(1) : QString())));
        FUZZ_CHECK(h->malformed == (t.size() > 1 && !plain));
    }
    if (const auto g = parseGameInfo(line)) {
        FUZZ_CHECK(g->id == number(1) && g->minPlayers == number(2));
        FUZZ_CHECK(g->topmost == (t.size() > 4 ? toBoolean(t.at(4)) : std::nullopt));
    }
    if (const auto d = parseDeleteRoom(line))
        FUZZ_CHECK(d->room == afterKeyword(line));
    if (const auto c = parseChatData(line, n))
        FUZZ_CHECK(c->phrases == capped && c->more == more);
    return 0;
}
