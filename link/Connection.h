#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// One byte-stream connection as the link channel needs it: exact-size reads, one send per packet,
// cancelling, and state notifications. Every callback arrives on the thread that owns the
// connection (the main thread), never from inside start(), receive() or cancel().
class Connection {
public:
    enum class State { setup, preparing, ready, waiting, failed, cancelled };

    // What one read delivered. `data` is empty when nothing arrived. `endOfStream` is set once the
    // other end has finished sending; it may come together with the last bytes.
    struct Received {
        QByteArray data;
        bool endOfStream = false;
        std::optional<QString> error;
    };

    using StateHandler = std::function<void(State state, const std::optional<QString>& error)>;
    using ReceiveCompletion = std::function<void(Received received)>;

    virtual ~Connection() = default;
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Receives every state change from start() on.
    StateHandler stateHandler;

    virtual void start() = 0;
    // Asks for exactly `length` bytes. The completion runs once: with `length` bytes, or with fewer
    // (possibly none) and end of stream or an error. At most one read is outstanding at a time.
    virtual void receive(qsizetype length, ReceiveCompletion completion) = 0;
    // Hands one whole packet to the transport. Failures show up in the state or the next read.
    virtual void send(QByteArray packet) = 0;
    // Ends the connection; a `cancelled` state follows once, and outstanding reads never complete.
    virtual void cancel() = 0;
};
