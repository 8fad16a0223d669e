#pragma once

#include "base/LaunchOptions.h"
#include "core/HelperSettings.h"
#include "core/OutputSilencer.h"
#include "core/PairingGate.h"
#include "core/Platform.h"
#include "core/SharingSession.h"
#include "input/InputInjector.h"
#include "link/LinkMessages.h"
#include "link/PairedDevices.h"
#include "media/HelperDisplay.h"
#include "media/SenderState.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class LinkServer;
class LinkSession;
class QTimer;

// The one coordinating object of the helper: it owns the paired-device store, the link server,
// the active phone session and the sharing; it turns the phone's requests into sharing, keeps
// the permissions and the displays current, and publishes its state for the user interface.
class HelperModel : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds closeDelay{300};
    static constexpr int minimumHeight = 240;
    static constexpr int maximumHeight = 4320;
    static constexpr int displayWaitPasses = 12;
    static constexpr std::chrono::milliseconds displayWaitPass{250};
    static constexpr std::chrono::seconds permissionPollInterval{2};

    // The store defaults to the one in the helper's data folder.
    HelperModel(LaunchOptions options, Platform platform, std::unique_ptr<PairedDevices> devices = nullptr);
    ~HelperModel() override;

    const LaunchOptions options;
    PairedDevices& devices() { return *m_devices; }
    // Created on first use.
    LinkServer& server();
    PairingGate& pairingGate() { return m_gate; }
    SharingSession& sharing() { return *m_sharing; }
    InputInjector& input() { return m_input; }

    // What the panel shows; `changed` tells when any of it changed.
    QList<HelperDisplay> displays;
    std::optional<QString> message;
    std::optional<QString> connectedName;
    bool canRecord = false;
    bool canControl = false;
    bool opensAtLogin = false;
    const SenderState& state() const { return m_sharing->state; }
    const SenderStats& stats() const { return m_sharing->stats; }
    const Platform::PermissionPage& recordingPage() const { return m_platform.recordingPage; }
    const Platform::PermissionPage& controlPage() const { return m_platform.controlPage; }
    // The display the phone last saw and the picture height it asked for.
    std::optional<std::uint32_t> displayID;
    int targetHeight = 1080;

    // The settings, stored at every change and acted on.
    bool acceptsConnections() const { return m_settings.acceptsConnections(); }
    void setAcceptsConnections(bool on);
    bool sendsSound() const { return m_settings.sendsSound(); }
    // Applies from the next start of sharing.
    void setSendsSound(bool on);
    bool mutesWhileConnected() const { return m_settings.mutesWhileConnected(); }
    void setMutesWhileConnected(bool on);
    // Turns the login item on or off; a failure is logged and shown in `message`.
    void setOpensAtLogin(bool on);
    // The user asks to grant control or recording from the panel: the check runs again, and
    // while the permission is still missing the desktop's way to grant it is opened.
    void askForControl();
    void askForRecording();

    // Called first thing in startUp: the snapshot mode of the views, when it was asked for.
    std::function<void()> renderUIIfAsked;

    // Runs once: reads the permissions, undoes a silenced output left by a helper that was
    // killed, installs the server's callbacks, starts listening and the permission poll.
    void startUp();
    // Ends the active session, telling the phone why when there is a reason.
    void endSession(const std::optional<QString>& reason);
    // Removes the phone from the allowed ones, ending its session if it is the active one.
    void forget(const PairedDevice& device);
    // The 2-second poll: the permissions, and control news for the phone.
    void checkPermissions();
    // Reads the displays: the list on success (and screen recording is possible), empty on failure.
    QCoro::Task<> loadDisplays();

    std::shared_ptr<LinkSession> activeSession() const { return m_session; }

Q_SIGNALS:
    void changed();

private:
    void begin(const std::shared_ptr<LinkSession>& session);
    void handle(const QJsonObject& message);
    QCoro::Task<> prepare(std::weak_ptr<LinkSession> session);
    QCoro::Task<> show(LinkMessages::Show request);
    void stopSharingSoon();
    QCoro::Task<> displaysChanged();
    void send(const QJsonObject& message);
    QList<LinkMessages::Display> displayEntries() const;

    Platform m_platform;
    std::unique_ptr<PairedDevices> m_devices;
    HelperSettings m_settings;
    PairingGate m_gate;
    OutputSilencer m_silencer;
    InputInjector m_input;
    std::unique_ptr<SharingSession> m_sharing;
    std::unique_ptr<LinkServer> m_server;
    std::shared_ptr<LinkSession> m_session;
    QTimer* m_permissionTimer = nullptr;
    bool m_started = false;
};
