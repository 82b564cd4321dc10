#include "settings.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <utility>
#include <vector>

namespace {

struct Section {
    QString name;
    std::vector<std::pair<QString, QString>> keys;
};
using Document = std::vector<Section>;

QString configDir()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/vantelis");
}

QString unescape(QStringView v)
{
    QString out;
    out.reserve(v.size());
    for (qsizetype i = 0; i < v.size(); ++i) {
        const QChar c = v[i];
        if (c == u'\\' && i + 1 < v.size()) {
            const QChar n = v[i + 1];
            if (n == u'\\') { out += u'\\'; ++i; continue; }
            if (n == u'n') { out += u'\n'; ++i; continue; }
            if (n == u'r') { out += u'\r'; ++i; continue; }
        }
        out += c;
    }
    return out;
}

QString escape(const QString &v)
{
    QString out;
    out.reserve(v.size());
    for (const QChar c : v) {
        if (c == u'\\') out += QStringLiteral("\\\\");
        else if (c == u'\n') out += QStringLiteral("\\n");
        else if (c == u'\r') out += QStringLiteral("\\r");
        else out += c;
    }
    return out;
}

// A name must stay on its line and a key must not contain the separator; nothing
// the system writes does, but a game name comes from outside.
QString safeName(QString s)
{
    s.replace(u'\r', u' ');
    s.replace(u'\n', u' ');
    return s;
}

Document parse(const QByteArray &bytes)
{
    Document doc;
    const QString text = QString::fromUtf8(bytes);
    Section *current = nullptr;
    for (QStringView line : QStringView(text).split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.lastIndexOf(u']');
            if (close > 0) {
                const QString name = line.mid(1, close - 1).toString();
                current = nullptr;
                for (Section &s : doc)
                    if (s.name == name) current = &s;
                if (!current) {
                    doc.push_back({name, {}});
                    current = &doc.back();
                }
                continue;
            }
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0 || !current)
            continue;
        const QString key = line.left(eq).toString();
        const QString value = unescape(line.mid(eq + 1));
        bool replaced = false;
        for (auto &kv : current->keys)
            if (kv.first == key) { kv.second = value; replaced = true; }
        if (!replaced)
            current->keys.emplace_back(key, value);
    }
    return doc;
}

QByteArray serialise(const Document &doc)
{
    QString out;
    for (const Section &s : doc) {
        if (s.keys.empty())
            continue;
        out += u'[' + s.name + QStringLiteral("]\n");
        for (const auto &kv : s.keys)
            out += kv.first + u'=' + escape(kv.second) + u'\n';
        out += u'\n';
    }
    return out.toUtf8();
}

Document readDocument(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return parse(f.readAll());
}

// Read-modify-write under the lock file, replacing the file atomically.
template <typename Change>
bool modify(Change change)
{
    const QString dir = configDir();
    if (!QDir().mkpath(dir))
        return false;
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString path = settings::filePath();
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(10000);
    if (!lock.tryLock(5000))
        return false;
    Document doc = readDocument(path);
    change(doc);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    out.write(serialise(doc));
    return out.commit();
}

} // namespace

namespace settings {

QString filePath()
{
    return configDir() + QStringLiteral("/settings.ini");
}

QString GetSetting(const QString &section, const QString &key)
{
    const QString sec = safeName(section);
    const QString k = safeName(key);
    const Document doc = readDocument(filePath());
    for (const Section &s : doc) {
        if (s.name != sec)
            continue;
        for (const auto &kv : s.keys)
            if (kv.first == k) return kv.second;
    }
    return QString();
}

bool SaveSetting(const QString &section, const QString &key, const QString &value)
{
    const QString sec = safeName(section);
    QString k = safeName(key);
    k.replace(u'=', u'_');
    return modify([&](Document &doc) {
        for (Section &s : doc) {
            if (s.name != sec)
                continue;
            for (auto &kv : s.keys)
                if (kv.first == k) { kv.second = value; return; }
            s.keys.emplace_back(k, value);
            return;
        }
        doc.push_back({sec, {{k, value}}});
    });
}

bool DeleteSetting(const QString &section)
{
    const QString sec = safeName(section);
    return modify([&](Document &doc) {
        std::erase_if(doc, [&](const Section &s) { return s.name == sec; });
    });
}

} // namespace settings
