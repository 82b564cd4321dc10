#include "passwordhash.h"

#include <QCryptographicHash>
#include <QPasswordDigestor>
#include <QRandomGenerator>

#include <argon2.h>
#include <cstdio>

namespace passwordhash {

namespace {

constexpr int kSaltBytes = 16;
constexpr int kKeyBytes = 32;

QByteArray newSalt()
{
    QByteArray salt(kSaltBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(salt.data()),
                                         reinterpret_cast<quint32 *>(salt.data() + salt.size()));
    return salt;
}

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

QByteArray derivePbkdf2(const QByteArray &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password, salt, iterations, kKeyBytes);
}

} // namespace

Stored hash(const QString &password, const Params &params)
{
    const QByteArray pwd = password.toUtf8();
    const QByteArray salt = newSalt();
    const size_t len = argon2_encodedlen(params.passes, params.memoryKiB, params.lanes, kSaltBytes, kKeyBytes, Argon2_id);
    QByteArray encoded(qsizetype(len), '\0');
    const int rc = argon2id_hash_encoded(params.passes, params.memoryKiB, params.lanes, pwd.constData(), size_t(pwd.size()),
                                         salt.constData(), size_t(salt.size()), kKeyBytes, encoded.data(), len);
    if (rc != ARGON2_OK)
        return {};
    encoded.truncate(qsizetype(qstrlen(encoded.constData())));
    Stored s;
    s.encoded = encoded;
    return s;
}

Stored pbkdf2(const QString &password, int iterations)
{
    Stored s;
    s.salt = newSalt();
    s.iterations = iterations;
    s.key = derivePbkdf2(password.toUtf8(), s.salt, iterations);
    return s;
}

Check verify(const QString &password, const Stored &stored)
{
    const QByteArray pwd = password.toUtf8();
    if (stored.isArgon2()) {
        const int rc = argon2id_verify(stored.encoded.constData(), pwd.constData(), size_t(pwd.size()));
        if (rc == ARGON2_OK)
            return Check::Match;
        return rc == ARGON2_VERIFY_MISMATCH ? Check::Mismatch : Check::Invalid;
    }
    if (stored.iterations < 1 || stored.salt.isEmpty() || stored.key.isEmpty())
        return Check::Invalid;
    return sameBytes(derivePbkdf2(pwd, stored.salt, stored.iterations), stored.key) ? Check::Match : Check::Mismatch;
}

bool outdated(const Stored &stored, const Params &params)
{
    if (!stored.isArgon2())
        return true;
    unsigned version = 0, m = 0, t = 0, p = 0;
    if (std::sscanf(stored.encoded.constData(), "$argon2id$v=%u$m=%u,t=%u,p=%u$", &version, &m, &t, &p) != 4)
        return true;
    return version != ARGON2_VERSION_NUMBER || m != params.memoryKiB || t != params.passes || p != params.lanes;
}

} // namespace passwordhash
