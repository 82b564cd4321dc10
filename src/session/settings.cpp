#include "settings.h"

#include "seams.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QFileDevice>
#include <QHash>
#include <QLockFile>
#include <QMutex>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QThread>
#include <QTimer>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace {

// A line of the file as it is, and what it means. Lines the reader does not use
// (comments, blank lines, junk) are kept byte for byte and written back unchanged.
struct Line {
    enum Kind { Other, Header, Entry };
    QByteArray raw; // without its LF; a CR before it stays
    Kind kind = Other;
    QString section; // Header: its name; Entry: the section it belongs to
    QString key;
    QString value;
};

struct Document {
    std::vector<Line> lines;
    // section -> key -> value; a later line wins, as the reader sees the file.
    QHash<QString, QHash<QString, QString>> index;
};

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

QString safeKey(const QString &key)
{
    QString k = safeName(key);
    k.replace(u'=', u'_');
    return k;
}

Line parseLine(const QByteArray &raw, const QString *current)
{
    Line l;
    l.raw = raw;
    QByteArrayView bytes(raw);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    const QString text = QString::fromUtf8(bytes);
    if (text.isEmpty() || text.startsWith(u';') || text.startsWith(u'#'))
        return l;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.lastIndexOf(u']');
        if (close > 0) {
            l.kind = Line::Header;
            l.section = text.mid(1, close - 1);
            return l;
        }
    }
    const qsizetype eq = text.indexOf(u'=');
    if (eq < 0 || !current)
        return l;
    l.kind = Line::Entry;
    l.section = *current;
    l.key = text.left(eq);
    l.value = unescape(QStringView(text).sliced(eq + 1));
    return l;
}

Document parse(const QByteArray &bytes)
{
    Document doc;
    QString section;
    bool inSection = false;
    qsizetype from = 0;
    while (from < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', from);
        if (end < 0)
            end = bytes.size();
        doc.lines.push_back(parseLine(bytes.sliced(from, end - from), inSection ? &section : nullptr));
        const Line &l = doc.lines.back();
        if (l.kind == Line::Header) {
            section = l.section;
            inSection = true;
        } else if (l.kind == Line::Entry) {
            doc.index[l.section].insert(l.key, l.value);
        }
        from = end + 1;
    }
    return doc;
}

QByteArray serialise(const Document &doc)
{
    QByteArray out;
    for (const Line &l : doc.lines) {
        out += l.raw;
        out += '\n';
    }
    return out;
}

Line entryLine(const QString &section, const QString &key, const QString &value)
{
    Line l;
    l.kind = Line::Entry;
    l.section = section;
    l.key = key;
    l.value = value;
    l.raw = (key + u'=' + escape(value)).toUtf8();
    return l;
}

void removeSection(Document &doc, const QString &section)
{
    // The section's header and keys go; comments and other lines among them stay.
    std::erase_if(doc.lines, [&](const Line &l) { return l.kind != Line::Other && l.section == section; });
    doc.index.remove(section);
}

// Only the keys go: the header and the notes under it stay where they are. Returns
// where the first key was (-1: there was none), for new keys to take its place.
qsizetype clearSection(Document &doc, const QString &section)
{
    qsizetype first = -1;
    qsizetype kept = 0;
    std::erase_if(doc.lines, [&](const Line &l) {
        const bool drop = l.kind == Line::Entry && l.section == section;
        if (drop && first < 0)
            first = kept;
        if (!drop)
            ++kept;
        return drop;
    });
    doc.index.remove(section);
    return first;
}

void setValues(Document &doc, const QString &section, const settings::Values &values, qsizetype at = -1)
{
    // The line a reader takes for each key (the last), and where new keys go: after
    // the last key of the section's last block, or after its header.
    QHash<QString, qsizetype> lineOf;
    qsizetype insertAt = -1;
    for (qsizetype i = 0; i < qsizetype(doc.lines.size()); ++i) {
        const Line &l = doc.lines[i];
        if (l.kind == Line::Header && l.section == section) {
            insertAt = i + 1;
        } else if (l.kind == Line::Entry && l.section == section) {
            lineOf.insert(l.key, i);
            insertAt = i + 1;
        }
    }
    if (at >= 0)
        insertAt = at;
    std::vector<Line> added;
    QHash<QString, qsizetype> addedOf;
    for (const auto &[key, value] : values) {
        if (const auto it = lineOf.constFind(key); it != lineOf.cend()) {
            Line &l = doc.lines[*it];
            if (l.value != value)
                l = entryLine(section, key, value);
        } else if (const auto a = addedOf.constFind(key); a != addedOf.cend()) {
            added[*a] = entryLine(section, key, value);
        } else {
            addedOf.insert(key, qsizetype(added.size()));
            added.push_back(entryLine(section, key, value));
        }
        doc.index[section].insert(key, value);
    }
    if (added.empty())
        return;
    if (insertAt < 0) {
        // A new section goes at the end, after a blank line that sets it apart.
        if (!doc.lines.empty() && !doc.lines.back().raw.trimmed().isEmpty())
            doc.lines.push_back(Line{});
        Line header;
        header.kind = Line::Header;
        header.section = section;
        header.raw = (u'[' + section + u']').toUtf8();
        doc.lines.push_back(header);
        insertAt = qsizetype(doc.lines.size());
    }
    doc.lines.insert(doc.lines.begin() + insertAt, std::make_move_iterator(added.begin()),
                     std::make_move_iterator(added.end()));
}

// ---- The cache of the parsed file ---------------------------------------------

struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const FileStamp &o) const
    {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec
            && mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

std::optional<FileStamp> stampOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

qint64 nanos(const timespec &t) { return qint64(t.tv_sec) * 1000000000 + t.tv_nsec; }

qint64 nowNanos()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return nanos(t);
}

struct Cache {
    QString path;
    FileStamp stamp;
    QByteArray bytes;
    Document doc;
    // When the bytes were last known to be the file's. A file changed within the
    // same clock tick keeps its stamp, so one changed shortly before this time is
    // compared byte for byte before it is trusted.
    qint64 checkedAt = 0;
    bool valid = false;
};

// File timestamps move in coarse ticks; this is far more than any tick.
constexpr qint64 kRacyNanos = 1000000000;

QMutex g_mutex;
Cache g_cache;

// A file that grew past the limit since its stamp was taken fails too.
QByteArray readAll(const QString &path, bool *ok)
{
    QFile f(path);
    *ok = f.open(QIODevice::ReadOnly);
    if (!*ok)
        return QByteArray();
    QByteArray bytes = f.read(settings::kMaxFileBytes + 1);
    *ok = f.error() == QFileDevice::NoError && bytes.size() <= settings::kMaxFileBytes;
    return *ok ? bytes : QByteArray();
}

// The file as it is on disk now, parsed at most once per change; nullptr when it is
// there but cannot be read. Caller holds g_mutex.
const Document *current(const QString &path)
{
    static const Document empty;
    const auto stamp = stampOf(path);
    if (!stamp) {
        g_cache.valid = false;
        return QFile::exists(path) ? nullptr : &empty;
    }
    // Not taken in whole: a file this big is not one the store wrote.
    if (stamp->size > settings::kMaxFileBytes) {
        g_cache.valid = false;
        return nullptr;
    }
    const bool sameFile = g_cache.valid && g_cache.path == path && g_cache.stamp == *stamp;
    if (sameFile && nanos(stamp->ctime) + kRacyNanos < g_cache.checkedAt)
        return &g_cache.doc;
    const qint64 now = nowNanos();
    bool ok = false;
    QByteArray bytes = readAll(path, &ok);
    if (!ok) {
        g_cache.valid = false;
        return nullptr;
    }
    if (!(sameFile && bytes == g_cache.bytes)) {
        g_cache.doc = parse(bytes);
        g_cache.bytes = std::move(bytes);
        g_cache.path = path;
    }
    // Stamped before the read: a change after it shows as a later stamp.
    g_cache.stamp = *stamp;
    g_cache.checkedAt = now;
    g_cache.valid = true;
    return &g_cache.doc;
}

// Waits for the lock file in short, even steps: a writer that has waited long has
// the same chance as one that just came (QLockFile's own wait backs off to seconds
// and lets newcomers pass), and gives up only after a generous time.
constexpr int kLockWaitMs = 60000;

bool lockInTurn(QLockFile &lock)
{
    QDeadlineTimer deadline(kLockWaitMs);
    for (;;) {
        if (lock.tryLock(0))
            return true;
        if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
            return false;
        QThread::usleep(500 + QRandomGenerator::global()->bounded(2000));
    }
}

// Values of saveSoon not yet written, per section in the order they came.
struct Pending {
    QString section;
    settings::Values values;
    QHash<QString, qsizetype> at; // key -> index in values
};
std::vector<Pending> g_pending;
bool g_flushPosted = false;
constexpr int kSoonMs = 250;
qsizetype g_writes = 0;

// The folders up to the file's: those made here are the user's alone; those that
// are there keep their modes (a shared or setgid folder stays as it was).
bool makeFolders(const QString &dir)
{
    QStringList missing;
    QString at = QDir::cleanPath(dir);
    while (!at.isEmpty() && !QFileInfo::exists(at)) {
        missing.prepend(at);
        const QString up = QFileInfo(at).path();
        if (up == at)
            break;
        at = up;
    }
    for (const QString &d : std::as_const(missing))
        if (::mkdir(QFile::encodeName(d).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    return QFileInfo(dir).isDir();
}

// How the file may be written: replaced by a new one (ours, or none yet), or
// written in place because it is reached through a link and so belongs to
// someone's arrangement; a file of another user, or not a file, is not written.
enum class Target { New, Own, InPlace, Refused };

Target targetOf(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return errno == ENOENT ? Target::New : Target::Refused;
    if (S_ISLNK(st.st_mode)) {
        if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            return Target::Refused;
        return Target::InPlace;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
        return Target::Refused;
    return st.st_nlink > 1 ? Target::InPlace : Target::Own;
}

bool writeInPlace(const QString &path, const QByteArray &bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
    for (qsizetype done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::pwrite(fd, bytes.constData() + done, size_t(bytes.size() - done), off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += n > 0 ? n : 0;
    }
    ok = ok && ::ftruncate(fd, off_t(bytes.size())) == 0 && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

bool replaceFile(const QString &path, const QByteArray &bytes, bool isNew)
{
    const QFileDevice::Permissions mode =
        isNew ? QFileDevice::ReadOwner | QFileDevice::WriteOwner : QFile::permissions(path);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.setPermissions(mode);
    return out.write(bytes) == bytes.size() && out.commit();
}

// Read-modify-write under the lock file; what saveSoon keeps goes in first.
template <typename Change>
bool modify(Change change)
{
    const QString dir = configDir();
    if (!makeFolders(dir))
        return false;
    const QString path = settings::filePath();
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(10000);
    if (!lockInTurn(lock))
        return false;
    QMutexLocker locker(&g_mutex);
    const std::vector<Pending> pending = std::exchange(g_pending, {});
    const Target target = targetOf(path);
    if (target == Target::Refused)
        return false;
    // A file that is there but cannot be read is not overwritten with less.
    const Document *now = current(path);
    if (!now)
        return false;
    Document doc = *now;
    for (const Pending &p : pending)
        setValues(doc, p.section, p.values);
    change(doc);
    const QByteArray bytes = serialise(doc);
    // Nor is it made into one the store would refuse to read.
    if (bytes.size() > settings::kMaxFileBytes)
        return false;
    if (!(target == Target::InPlace ? writeInPlace(path, bytes) : replaceFile(path, bytes, target == Target::New)))
        return false;
    ++g_writes;
    // The next read checks these bytes against the file instead of parsing them.
    if (const auto stamp = stampOf(path)) {
        g_cache.path = path;
        g_cache.stamp = *stamp;
        g_cache.bytes = bytes;
        g_cache.doc = std::move(doc);
        g_cache.checkedAt = 0;
        g_cache.valid = true;
    } else {
        g_cache.valid = false;
    }
    return true;
}

} // namespace

namespace settings {

QString filePath()
{
    return configDir() + QStringLiteral("/settings.ini");
}

QString GetSetting(const QString &section, const QString &key)
{
    QMutexLocker locker(&g_mutex);
    const QString sec = safeName(section);
    for (const Pending &p : g_pending)
        if (p.section == sec)
            if (const auto at = p.at.constFind(safeKey(key)); at != p.at.cend())
                return p.values.at(*at).second;
    const Document *doc = current(filePath());
    if (!doc)
        return QString();
    const auto s = doc->index.constFind(sec);
    if (s == doc->index.cend())
        return QString();
    return s->value(safeName(key));
}

bool SaveSetting(const QString &section, const QString &key, const QString &value)
{
    return SaveSettings(section, {{key, value}});
}

bool SaveSettings(const QString &section, const Values &values)
{
    const QString sec = safeName(section);
    Values safe;
    safe.reserve(values.size());
    for (const auto &[k, v] : values)
        safe.append({safeKey(k), v});
    return modify([&](Document &doc) { setValues(doc, sec, safe); });
}

bool DeleteSetting(const QString &section)
{
    const QString sec = safeName(section);
    return modify([&](Document &doc) { removeSection(doc, sec); });
}

bool ReplaceSection(const QString &section, const Values &values)
{
    const QString sec = safeName(section);
    Values safe;
    safe.reserve(values.size());
    for (const auto &[k, v] : values)
        safe.append({safeKey(k), v});
    return modify([&](Document &doc) { setValues(doc, sec, safe, clearSection(doc, sec)); });
}

void saveSoon(const QString &section, const Values &values)
{
    QMutexLocker locker(&g_mutex);
    const QString sec = safeName(section);
    auto p = std::find_if(g_pending.begin(), g_pending.end(), [&](const Pending &x) { return x.section == sec; });
    if (p == g_pending.end())
        p = g_pending.insert(g_pending.end(), Pending{sec, {}, {}});
    for (const auto &[k, v] : values) {
        const QString key = safeKey(k);
        if (const auto at = p->at.constFind(key); at != p->at.cend()) {
            p->values[*at].second = v;
        } else {
            p->at.insert(key, p->values.size());
            p->values.append({key, v});
        }
    }
    if (g_flushPosted)
        return;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || app->thread() != QThread::currentThread()) {
        locker.unlock();
        flushSoon();
        return;
    }
    g_flushPosted = true;
    // Each write waits for the disk: a flood is written a few times a second, not
    // once per pass.
    QTimer::singleShot(kSoonMs, app, [] { flushSoon(); });
}

bool flushSoon()
{
    {
        QMutexLocker locker(&g_mutex);
        g_flushPosted = false;
        if (g_pending.empty())
            return true;
    }
    return modify([](Document &) {});
}

qsizetype writeCount()
{
    QMutexLocker locker(&g_mutex);
    return g_writes;
}

void tellNotSaved(const QString &what)
{
    platform::msgBox(what + QStringLiteral("を保存できませんでした。設定ファイル ") + QDir::toNativeSeparators(filePath())
                         + QStringLiteral(" に書き込めません。"),
                     platform::mb::Critical);
}

QString valueIn(const QByteArray &fileText, const QString &section, const QString &key)
{
    const Document doc = parse(fileText);
    return doc.index.value(safeName(section)).value(safeName(key));
}

QByteArray writtenText(const QByteArray &fileText, const QString &section, const Values &values, bool replace)
{
    Document doc = parse(fileText);
    const QString sec = safeName(section);
    Values safe;
    for (const auto &[k, v] : values)
        safe.append({safeKey(k), v});
    setValues(doc, sec, safe, replace ? clearSection(doc, sec) : -1);
    return serialise(doc);
}

} // namespace settings
