#pragma once
// Turns SIGINT, SIGTERM and SIGHUP into a signal on the event loop: the handler
// only writes a byte to a pipe, the loop reads it and emits received().
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
