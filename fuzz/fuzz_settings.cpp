// The settings reader and writer on any file text: a value written is read back,
// a second identical write changes nothing, and other keys keep their values.
// Input: section NUL key NUL value NUL file text.
#include "fuzzcheck.h"
#include "session/settings.h"

#include <cstdint>

using settings::valueIn;
using settings::writtenText;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<QByteArray> parts = input.split('\0');
    while (parts.size() < 4)
        parts.prepend(QByteArray("a"));
    const QString section = QString::fromUtf8(parts.at(0)).left(64);
    QString key = QString::fromUtf8(parts.at(1)).left(64);
    const QString value = QString::fromUtf8(parts.at(2));
    const QByteArray file = parts.mid(3).join('\0');

    // The store's own keys are names and numbers; a key that would read as a comment,
    // a section or nothing at all is not one it writes.
    key.replace(u'=', u'_');
    key.replace(u'\r', u' ');
    key.replace(u'\n', u' ');
    if (key.startsWith(u';') || key.startsWith(u'#') || key.startsWith(u'['))
        key.prepend(u'k');

    const QString otherKey = key + u'2';
    const QString before = valueIn(file, section, otherKey);
    const QString elsewhere = valueIn(file, QStringLiteral("user"), QStringLiteral("name"));

    for (const bool replace : {false, true}) {
        const QByteArray after = writtenText(file, section, {{key, value}}, replace);
        FUZZ_CHECK(valueIn(after, section, key) == value);
        FUZZ_CHECK(writtenText(after, section, {{key, value}}, false) == after);
        FUZZ_CHECK(valueIn(after, section, otherKey) == (replace ? QString() : before));
        if (section != QStringLiteral("user"))
            FUZZ_CHECK(valueIn(after, QStringLiteral("user"), QStringLiteral("name")) == elsewhere);
        // Every line of the file that is not a key of the section is still there.
        if (!replace) {
            const QList<QByteArray> was = file.split('\n');
            qsizetype from = 0;
            for (const QByteArray &l : was) {
                if (l.isEmpty() || l.contains('='))
                    continue;
                const qsizetype at = after.indexOf(l, from);
                FUZZ_CHECK(at >= 0);
                from = at + l.size();
            }
        }
    }
    return 0;
}
