#pragma once

#include "core/LaunchOptions.h"
#include "core/MacMute.h"
#include "core/ServiceAdvertiser.h"
#include "link/PairedDevices.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class LinkServer;
class LinkSession;
class ServiceAdvertiser;

// The one coordinating object of the helper: it owns the paired-device store, the link server and
// the active phone session, and decides whether a new phone may pair.
class HelperModel : public QObject {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;
    // After the user refused a pairing, further requests are turned away for this long.
    static constexpr std::chrono::seconds refusalPause{30};
    static constexpr std::chrono::milliseconds closeDelay{300};

    HelperModel(LaunchOptions options, QString macName, std::unique_ptr<ServiceAdvertiser> advertiser,
                std::unique_ptr<PairedDevices> devices = nullptr,
                std::unique_ptr<AudioOutput> audioOutput = nullptr);
    ~HelperModel() override;

    const LaunchOptions options;
    PairedDevices& devices() { return *m_devices; }
    // Created on first use.
    LinkServer& server();

    std::optional<QString> message;
    std::optional<QString> connectedName;
    std::optional<Clock::time_point> lastRefusal;
    // This computer's output, silenced while a phone listens; given back when the application
    // quits.
    MacMute mute;

    // Asks the user whether the phone may pair; absent (answering no) until a prompt exists.
    std::function<QCoro::Task<bool>(QString name, QString code)> askUser;
    // The clock the refusal pause is measured on.
    std::function<Clock::time_point()> now = [] { return Clock::now(); };

    // Runs once: undoes a silenced output left by a helper that was killed, installs the server's
    // callbacks and starts listening.
    void startUp();
    // The pairing gate the server asks.
    QCoro::Task<bool> pairingGate(QString name, QString code);
    // Ends the active session, telling the phone why when there is a reason.
    void endSession(const std::optional<QString>& reason);

    std::shared_ptr<LinkSession> activeSession() const { return m_session; }

Q_SIGNALS:
    void changed();

private:
    void begin(const std::shared_ptr<LinkSession>& session);
    void handle(const QJsonObject& message);
    static QCoro::Task<bool> gate(QPointer<HelperModel> model, QString name, QString code);

    const QString m_macName;
    std::unique_ptr<ServiceAdvertiser> m_advertiser;
    std::unique_ptr<PairedDevices> m_devices;
    std::unique_ptr<LinkServer> m_server;
    std::shared_ptr<LinkSession> m_session;
    bool m_started = false;
};
