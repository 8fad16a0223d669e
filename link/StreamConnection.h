#pragma once

#include "link/Connection.h"

#include <QObject>

#include <memory>

// The reading side shared by byte-stream connections: exact-size reads served from what the
// transport has buffered, always completed from the event loop (never from inside receive()),
// one after the other without recursion, and safe when a completion releases the connection.
class StreamConnection : public Connection {
public:
    void receive(qsizetype length, ReceiveCompletion completion) final;

protected:
    // What the transport holds that is not read yet, and taking from it.
    virtual qsizetype bytesBuffered() const = 0;
    virtual QByteArray takeBytes(qsizetype length) = 0;
    // False while reads must wait (not connected yet) or never complete again (cancelled).
    virtual bool isReadable() const = 0;

    // Delivers every read that can complete now; transports call it when something arrived.
    void pump();
    void schedulePump();
    // Reports a state from the event loop.
    void post(State state, std::optional<QString> error = std::nullopt);
    // Drops the outstanding read: it will never complete.
    void dropRead() { m_completion = nullptr; }

    // Set by the transport: the other end finished sending, or reading failed.
    bool m_endOfStream = false;
    std::optional<QString> m_error;

    // Owns queued calls and signal connections; Qt drops what is pending for it when it dies.
    QObject m_context;

private:
    qsizetype m_wanted = 0;
    ReceiveCompletion m_completion;
    bool m_inPump = false;
    bool m_pumpScheduled = false;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
