#pragma once
// The local socket qorchat-admin talks to: one JSON request per line, one JSON
// answer per line. The socket file is 0600; whoever reaches it is an operator.
#include <QObject>
#include <QString>

class AdminCommands;
class QLocalServer;
class QLocalSocket;

class AdminChannel : public QObject {
    Q_OBJECT
public:
    explicit AdminChannel(AdminCommands &commands, QObject *parent = nullptr);
    ~AdminChannel() override;
    // Refuses a path another running server answers on; a stale file is replaced.
    bool listen(const QString &path, QString *error);
    QString path() const;

private:
    void serve(QLocalSocket *socket);

    AdminCommands &m_commands;
    QLocalServer *m_server;
};
