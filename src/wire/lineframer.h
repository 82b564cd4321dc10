#pragma once
// Cuts a byte stream into CR LF-terminated lines. An unterminated tail waits for its
// end (a double-byte character split across reads stays whole); a line longer than
// the limit is dropped up to its CR LF without being buffered whole.
#include "wire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

class LineFramer {
public:
    explicit LineFramer(qsizetype maxLineBytes = protocol::limits::kClientLineBytes) : m_max(maxLineBytes) {}

    // Appends data; each complete line (without its CR LF) is appended to lines.
    void feed(QByteArrayView data, QList<QByteArray> &lines);
    void clear();
    // Bytes held for an unterminated line.
    qsizetype pending() const { return m_buf.size(); }
    qsizetype droppedLines() const { return m_dropped; }

private:
    qsizetype m_max;
    QByteArray m_buf;
    bool m_discarding = false;
    bool m_crPending = false; // while discarding: the last byte seen was a CR
    qsizetype m_dropped = 0;
};
