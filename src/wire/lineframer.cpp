#include "lineframer.h"

void LineFramer::clear()
{
    m_buf.clear();
    m_discarding = false;
    m_crPending = false;
}

void LineFramer::feed(QByteArrayView data, QList<QByteArray> &lines)
{
    const qsizetype n = data.size();
    qsizetype pos = 0;
    while (pos < n) {
        if (m_discarding) {
            if (m_crPending && data[pos] == '\n') {
                m_crPending = false;
                m_discarding = false;
                ++m_dropped;
                ++pos;
                continue;
            }
            m_crPending = false;
            const qsizetype end = data.sliced(pos).indexOf(QByteArrayView("\r\n"));
            if (end < 0) {
                m_crPending = data[n - 1] == '\r';
                return;
            }
            pos += end + 2;
            m_discarding = false;
            ++m_dropped;
            continue;
        }
        // A CR kept at the end of the tail and an LF at the start of this data.
        if (m_buf.endsWith('\r') && data[pos] == '\n') {
            m_buf.chop(1);
            lines.append(m_buf);
            m_buf.clear();
            ++pos;
            continue;
        }
        const qsizetype end = data.sliced(pos).indexOf(QByteArrayView("\r\n"));
        if (end < 0) {
            m_buf.append(data.sliced(pos));
            const qsizetype limit = m_max + (m_buf.endsWith('\r') ? 1 : 0);
            if (m_buf.size() > limit) {
                m_crPending = m_buf.endsWith('\r');
                m_buf.clear();
                m_buf.squeeze();
                m_discarding = true;
            }
            return;
        }
        if (m_buf.size() + end > m_max) {
            ++m_dropped;
        } else {
            m_buf.append(data.sliced(pos, end));
            lines.append(m_buf);
        }
        m_buf.clear();
        pos += end + 2;
    }
}
