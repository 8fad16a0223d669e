#pragma once

#include "core/ServiceAdvertiser.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class LinkSession;
class PairedDevices;
class TcpListener;

// The helper's front door: one TCP listener, advertised by DNS-SD, that turns each accepted
// connection into a LinkSession, keeps the live sessions (at most eight) and reports proved
// sessions, listener problems and pairing questions upwards.
class LinkServer : public QObject {
    Q_OBJECT

public:
    static constexpr quint16 preferredPort = 47813;
    static constexpr const char* serviceType = "_ovuhelper._tcp";
    static constexpr std::size_t maximumSessions = 8;
    static constexpr std::chrono::seconds restartDelay{2};

    using AskToPair = std::function<QCoro::Task<bool>(QString name, QString code)>;

    // `advertiser` may be null (no advertisement); `port` is the port tried first.
    LinkServer(PairedDevices& devices, QString computerName, std::unique_ptr<ServiceAdvertiser> advertiser,
               quint16 port = preferredPort);
    ~LinkServer() override;

    PairedDevices& devices;
    const QString computerName;
    AskToPair askToPair;
    std::function<void(const std::shared_ptr<LinkSession>& session)> onSession;
    std::function<void(const std::optional<QString>& problem)> onProblem;

    // Starts listening and advertising; does nothing while listening.
    void start();
    // Stops listening (and any restart still pending) and closes every session.
    void stop();
    // Makes `closed` the session's closed callback, after taking the session out of the table.
    void watch(const std::shared_ptr<LinkSession>& session, std::function<void()> closed);

    bool isListening() const { return m_listener != nullptr; }
    // The port the listener got, or 0.
    quint16 port() const;
    std::size_t sessionCount() const { return m_sessions.size(); }
    // The live sessions.
    std::vector<std::shared_ptr<LinkSession>> sessions() const;

    static QString noPortProblem();

private:
    void accept(std::unique_ptr<class Connection> connection);
    void listenerReady();
    void listenerFailed(const QString& error);
    void remove(const LinkSession* session);
    static QCoro::Task<bool> ask(QPointer<LinkServer> server, QString name, QString code);

    const quint16 m_port;
    std::unique_ptr<ServiceAdvertiser> m_advertiser;
    std::unique_ptr<TcpListener> m_listener;
    QTimer m_restartTimer;
    // Keyed by the session's identity; the table owns the sessions.
    std::map<const LinkSession*, std::shared_ptr<LinkSession>> m_sessions;
};
