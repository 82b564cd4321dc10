#pragma once
// Turns SIGINT and SIGTERM into a clean return from the event loop: the handler
// only writes a byte to a pipe, the loop reads it and quits.
#include <QObject>

class QSocketNotifier;

class SignalQuit : public QObject {
    Q_OBJECT
public:
    explicit SignalQuit(QObject *parent = nullptr);
    ~SignalQuit() override;
    bool isValid() const { return m_notifier != nullptr; }
    int signalNumber() const { return m_signal; }

signals:
    void received(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
    int m_signal = 0;
};
