#include "core/LinkServer.h"

#include "base/HelperLog.h"
#include "core/ServiceAdvertiser.h"
#include "core/TcpListener.h"
#include "link/LinkSession.h"
#include "link/TcpConnection.h"

using namespace Qt::StringLiterals;

namespace {

QCoro::Task<bool> refuse(QString, QString)
{
    co_return false;
}

} // namespace

QString LinkServer::noPortProblem()
{
    return u"OVU Helper could not open a port to listen on."_s;
}

LinkServer::LinkServer(PairedDevices& devices, QString computerName,
                       std::unique_ptr<ServiceAdvertiser> advertiser, quint16 port)
    : devices(devices)
    , computerName(std::move(computerName))
    , askToPair(refuse)
    , m_port(port)
    , m_advertiser(std::move(advertiser))
{
    m_restartTimer.setSingleShot(true);
    m_restartTimer.setInterval(restartDelay);
    connect(&m_restartTimer, &QTimer::timeout, this, &LinkServer::start);
}

LinkServer::~LinkServer()
{
    stop();
}

quint16 LinkServer::port() const
{
    return m_listener ? m_listener->port() : 0;
}

std::vector<std::shared_ptr<LinkSession>> LinkServer::sessions() const
{
    std::vector<std::shared_ptr<LinkSession>> out;
    out.reserve(m_sessions.size());
    for (const auto& entry : m_sessions) {
        out.push_back(entry.second);
    }
    return out;
}

void LinkServer::start()
{
    if (m_listener) {
        return;
    }
    m_restartTimer.stop();
    auto listener = std::make_unique<TcpListener>();
    if (!listener->listen(m_port) && !listener->listen(0)) {
        if (onProblem) {
            onProblem(noPortProblem());
        }
        return;
    }
    listener->onConnection = [this](int descriptor) { accept(std::make_unique<TcpConnection>(descriptor)); };
    listener->onFailure = [this](const QString& error) { listenerFailed(error); };
    TcpListener* current = listener.get();
    m_listener = std::move(listener);
    // Like a listener that reports "ready" once it runs: the owner hears of it from the event loop.
    QMetaObject::invokeMethod(
        this,
        [this, current] {
            if (m_listener.get() == current) {
                listenerReady();
            }
        },
        Qt::QueuedConnection);
}

void LinkServer::listenerReady()
{
    const quint16 listening = m_listener->port();
    HelperLog::write(u"listening on port "_s + QString::number(listening));
    if (m_advertiser) {
        m_advertiser->advertise(computerName, QString::fromLatin1(serviceType), listening);
    }
    if (onProblem) {
        onProblem(std::nullopt);
    }
}

void LinkServer::listenerFailed(const QString& error)
{
    HelperLog::write(u"listener failed: "_s + error);
    // The failed listener is dropped, not reused (this runs inside its last callback, which
    // touches nothing after it).
    m_listener.reset();
    if (m_advertiser) {
        m_advertiser->withdraw();
    }
    // The sessions already accepted keep running on their own connections.
    m_restartTimer.start();
}

void LinkServer::stop()
{
    // A restart that a listener failure scheduled must not bring the listener back.
    m_restartTimer.stop();
    if (m_listener) {
        m_listener.reset();
        if (m_advertiser) {
            m_advertiser->withdraw();
        }
    }
    const auto snapshot = m_sessions;
    for (const auto& entry : snapshot) {
        entry.second->close();
    }
    m_sessions.clear();
}

void LinkServer::accept(std::unique_ptr<Connection> connection)
{
    if (m_sessions.size() >= maximumSessions) {
        connection->cancel();
        return;
    }
    QPointer<LinkServer> weak(this);
    auto session = LinkSession::create(
        std::move(connection), devices, computerName,
        [weak](QString name, QString code) { return ask(weak, name, code); },
        [weak](const std::shared_ptr<LinkSession>& proved) {
            if (weak && weak->onSession) {
                weak->onSession(proved);
            }
        });
    const LinkSession* identity = session.get();
    m_sessions.emplace(identity, session);
    session->onClosed = [weak, identity, kept = session->onClosed] {
        if (kept) {
            kept();
        }
        if (weak) {
            weak->remove(identity);
        }
    };
}

void LinkServer::watch(const std::shared_ptr<LinkSession>& session, std::function<void()> closed)
{
    QPointer<LinkServer> weak(this);
    const LinkSession* identity = session.get();
    session->onClosed = [weak, identity, closed = std::move(closed)] {
        if (weak) {
            weak->remove(identity);
        }
        if (closed) {
            closed();
        }
    };
}

void LinkServer::remove(const LinkSession* session)
{
    m_sessions.erase(session);
}

QCoro::Task<bool> LinkServer::ask(QPointer<LinkServer> server, QString name, QString code)
{
    if (!server || !server->askToPair) {
        co_return false;
    }
    const AskToPair question = server->askToPair;
    // The answer through a variable: GCC 12 gets the lifetime of a temporary in
    // "co_return co_await" wrong (AddressSanitizer saw one released twice).
    const bool allowed = co_await question(name, code);
    co_return allowed;
}
