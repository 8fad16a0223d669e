#include "tests/support/RawPeer.h"

#include <QtEndian>

RawPeer::RawPeer(std::unique_ptr<MemoryConnection> connection) : m_connection(std::move(connection))
{
    readHeader();
}

void RawPeer::readHeader()
{
    m_connection->receive(4, [this](Connection::Received header) {
        if (header.data.size() != 4) {
            m_endOfStream = true;
            return;
        }
        const auto length = qFromBigEndian<quint32>(header.data.constData());
        m_connection->receive(length, [this](Connection::Received body) {
            m_frames.append(body.data);
            if (body.endOfStream) {
                m_endOfStream = true;
                return;
            }
            readHeader();
        });
    });
}
