#pragma once
// Password hashes: Argon2id for everything stored from now on; salted
// PBKDF2-SHA256 rows of older databases still verify and are marked for an
// upgrade. Pure functions, safe to call from worker threads.
#include <QByteArray>
#include <QString>

namespace passwordhash {

struct Params {
    // At least the commonly advised minimum for Argon2id.
    static constexpr quint32 kDefaultMemoryKiB = 19 * 1024;
    static constexpr quint32 kDefaultPasses = 2;
    quint32 memoryKiB = kDefaultMemoryKiB;
    quint32 passes = kDefaultPasses;
    quint32 lanes = 1;
};

// One account's password as stored. An Argon2id hash is its encoded string
// (algorithm, version, parameters, salt, hash); otherwise the PBKDF2 fields.
struct Stored {
    QByteArray encoded;
    QByteArray salt;
    QByteArray key;
    int iterations = 0;
    bool isArgon2() const { return !encoded.isEmpty(); }
};

// An empty Stored when Argon2 refuses the parameters.
Stored hash(const QString &password, const Params &params);
// The old scheme, for reading old rows and for tests that need one.
Stored pbkdf2(const QString &password, int iterations);

enum class Check { Match, Mismatch, Invalid };
Check verify(const QString &password, const Stored &stored);
// True when the stored hash is not what params would make now.
bool outdated(const Stored &stored, const Params &params);

} // namespace passwordhash
