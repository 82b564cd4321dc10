#include "qorchat/qorchat.h"

#include "execute.h"

#include <QApplication>
#include <QThread>

#include <cstring>
#include <exception>

namespace {

// The game may have no Qt application of its own; the first call makes one and
// keeps it for the life of the process.
int ensureApplication()
{
    if (QCoreApplication *app = QCoreApplication::instance()) {
        if (!qobject_cast<QApplication *>(app))
            return QORCHAT_E_NO_GUI;
        if (app->thread() != QThread::currentThread())
            return QORCHAT_E_WRONG_THREAD;
        return QORCHAT_OK;
    }
    static int argc = 1;
    static char name[] = "qorchat";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
    return QORCHAT_OK;
}

int copyOut(const QString &text, char *out, size_t size, size_t *length)
{
    const QByteArray utf8 = text.toUtf8();
    if (length)
        *length = size_t(utf8.size());
    if (!out || size == 0)
        return utf8.isEmpty() ? QORCHAT_OK : QORCHAT_E_BUFFER;
    const size_t n = std::min(size - 1, size_t(utf8.size()));
    std::memcpy(out, utf8.constData(), n);
    out[n] = '\0';
    return n == size_t(utf8.size()) ? QORCHAT_OK : QORCHAT_E_BUFFER;
}

} // namespace

int QorChat::Execute(QString &gameName, int16_t &host, QString &strIp)
{
    try {
        if (const int r = ensureApplication(); r != QORCHAT_OK)
            return r;
        return component::execute(gameName, host, strIp);
    } catch (const std::exception &) {
        return QORCHAT_E_INTERNAL;
    } catch (...) {
        return QORCHAT_E_INTERNAL;
    }
}

int QorChat::Execute(const QString &gameName, bool host, QString &strIp)
{
    QString name = gameName;
    int16_t flag = host ? -1 : 0;
    return Execute(name, flag, strIp);
}

extern "C" {

int qorchat_execute(const char *game_name, int16_t host, char *address, size_t address_size, size_t *address_length)
{
    if (!game_name || (!address && address_size > 0))
        return QORCHAT_E_ARGUMENT;
    const QByteArrayView raw(game_name, qsizetype(std::strlen(game_name)));
    if (!raw.isValidUtf8())
        return QORCHAT_E_ARGUMENT;
    QString name = QString::fromUtf8(raw);
    QString ip;
    QorChat chat;
    int16_t flag = host;
    const int r = chat.Execute(name, flag, ip);
    if (r != QORCHAT_OK)
        return r;
    return copyOut(ip, address, address_size, address_length);
}

int qorchat_last_address(char *address, size_t address_size, size_t *address_length)
{
    if (!address && address_size > 0)
        return QORCHAT_E_ARGUMENT;
    return copyOut(component::lastAddress(), address, address_size, address_length);
}

const char *qorchat_version(void)
{
    return QORCHAT_VERSION_STRING;
}

} // extern "C"
