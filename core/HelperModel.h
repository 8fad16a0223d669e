#pragma once

#include "core/DisplaySleep.h"
#include "core/LaunchOptions.h"
#include "core/LoginItem.h"
#include "core/MacMute.h"
#include "core/ServiceAdvertiser.h"
#include "input/InputInjector.h"
#include "link/PairedDevices.h"
#include "media/CaptureBackend.h"
#include "media/HelperDisplay.h"
#include "media/SenderState.h"

#include <QCoro/QCoroTask>
#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class LinkServer;
class LinkSession;
class QTimer;
class ScreenCapture;
class ServiceAdvertiser;
class VideoSender;

// The one coordinating object of the helper: it owns the paired-device store, the link server,
// the active phone session, the capture, the input injector and the sender; it decides whether
// a new phone may pair and turns the phone's requests into sharing.
class HelperModel : public QObject {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;
    // After the user refused a pairing, further requests are turned away for this long.
    static constexpr std::chrono::seconds refusalPause{30};
    static constexpr std::chrono::milliseconds closeDelay{300};
    static constexpr int frameRate = 60;
    static constexpr int minimumHeight = 240;
    static constexpr int maximumHeight = 4320;
    static constexpr int displayWaitPasses = 12;
    static constexpr std::chrono::milliseconds displayWaitPass{250};

    // Without a capture backend nothing can be shown; without an event sink the phone's control
    // messages go nowhere.
    HelperModel(LaunchOptions options, QString macName, std::unique_ptr<ServiceAdvertiser> advertiser,
                std::unique_ptr<PairedDevices> devices = nullptr,
                std::unique_ptr<AudioOutput> audioOutput = nullptr,
                std::unique_ptr<CaptureBackend> captureBackend = nullptr,
                std::shared_ptr<EventSink> eventSink = nullptr);
    ~HelperModel() override;

    const LaunchOptions options;
    PairedDevices& devices() { return *m_devices; }
    // Created on first use.
    LinkServer& server();

    QList<HelperDisplay> displays;
    SenderState state;
    SenderStats stats;
    std::optional<QString> message;
    std::optional<QString> connectedName;
    bool canRecord = false;
    bool canControl = false;
    bool opensAtLogin = false;

    // Settings, stored at every assignment (defaults true when never stored) and acted on.
    bool acceptsConnections() const { return m_acceptsConnections; }
    void setAcceptsConnections(bool on);
    bool sendsSound() const { return m_sendsSound; }
    // Applies from the next start of sharing.
    void setSendsSound(bool on);
    bool mutesWhileConnected() const { return m_mutesWhileConnected; }
    void setMutesWhileConnected(bool on);
    std::optional<Clock::time_point> lastRefusal;
    // This computer's output, silenced while a phone listens; given back when the application
    // quits.
    MacMute mute;
    InputInjector input;
    std::optional<std::uint32_t> displayID;
    int targetHeight = 1080;

    // Asks the user whether the phone may pair; absent (answering no) until a prompt exists.
    std::function<QCoro::Task<bool>(QString name, QString code)> askUser;
    // The clock the refusal pause is measured on.
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
    // Whether synthesized input reaches the desktop, and whether the screen can be recorded.
    std::function<bool()> controlCheck = [] { return false; };
    std::function<bool()> recordCheck = [] { return false; };
    // Keeps the display on from a phone's arrival until its session and the sharing ended; set
    // before startUp.
    std::unique_ptr<DisplaySleep> displaySleep;
    bool holdsDisplayAwake() const { return m_awake; }
    // Whether the helper opens at login; set before startUp.
    std::unique_ptr<LoginItem> loginItem;
    // Turns the login item on or off; a failure is logged and shown in `message`.
    void setOpensAtLogin(bool on);
    // The user asks to grant input control: the check runs again, and where control is still
    // impossible the desktop's way to allow it is shown (`openControlSettings`, absent where the
    // desktop has none: the panel then offers no button). `canControl` follows at the next poll.
    void askForControl();
    std::function<void()> openControlSettings;
    // The same for recording the screen, from the panel's recording box.
    void askForRecording();
    std::function<void()> openRecordingSettings;
    // What the panel says each permission is for and what the desktop needs for it.
    QString recordingHelp = QStringLiteral("So this Mac's screen can be sent to your phone.");
    QString controlHelp = QStringLiteral(
        "So the pointer and keyboard in OVU Desktop work on this Mac. Without it, the phone can only watch.");
    // Called first thing in startUp: the snapshot mode of the views, when it was asked for.
    std::function<void()> renderUIIfAsked;
    // A fresh event source for the injector once control is allowed.
    std::function<std::shared_ptr<EventSink>()> makeEventSource;
    static constexpr std::chrono::seconds permissionPollInterval{2};

    // Runs once: undoes a silenced output left by a helper that was killed, installs the server's
    // callbacks and starts listening.
    void startUp();
    // The pairing gate the server asks.
    QCoro::Task<bool> pairingGate(QString name, QString code);
    // Ends the active session, telling the phone why when there is a reason.
    void endSession(const std::optional<QString>& reason);
    // Removes the phone from the allowed ones, ending its session if it is the active one.
    void forget(const PairedDevice& device);
    // The 2-second poll: the permissions, and control news for the phone.
    void checkPermissions();

    std::shared_ptr<LinkSession> activeSession() const { return m_session; }
    VideoSender* sender() const { return m_sender.get(); }
    ScreenCapture* capture() const { return m_capture.get(); }

    // Reads the displays: the list on success (and screen recording is possible), empty on failure.
    QCoro::Task<> loadDisplays();

Q_SIGNALS:
    void changed();

private:
    void begin(const std::shared_ptr<LinkSession>& session);
    void handle(const QJsonObject& message);
    QCoro::Task<> prepare(std::weak_ptr<LinkSession> session);
    QCoro::Task<> show(std::optional<std::uint32_t> display, int height);
    QCoro::Task<> stopSharing();
    void stopSharingSoon();
    QCoro::Task<> displaysChanged();
    void send(const QJsonObject& message);
    QJsonArray displayObjects() const;
    void senderState(const SenderState& newState);
    void wakeDisplays();
    static QCoro::Task<bool> gate(QPointer<HelperModel> model, QString name, QString code);

    const QString m_macName;
    std::unique_ptr<ServiceAdvertiser> m_advertiser;
    std::unique_ptr<PairedDevices> m_devices;
    std::unique_ptr<LinkServer> m_server;
    std::shared_ptr<LinkSession> m_session;
    std::unique_ptr<CaptureBackend> m_captureBackend;
    std::unique_ptr<ScreenCapture> m_capture;
    std::unique_ptr<VideoSender> m_sender;
    QTimer* m_permissionTimer = nullptr;
    bool m_acceptsConnections = true;
    bool m_sendsSound = true;
    bool m_mutesWhileConnected = true;
    bool m_awake = false;
    bool m_started = false;
};
