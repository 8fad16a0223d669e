#include "core/HelperModel.h"

#include "core/HelperLog.h"
#include "core/LinkServer.h"
#include "core/ServiceAdvertiser.h"
#include "link/LinkSession.h"
#include "link/OVULinkChannel.h"
#include "media/CaptureBackend.h"
#include "media/ScreenCapture.h"
#include "media/VideoSender.h"

#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QJsonObject>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

// The settings file: $XDG_CONFIG_HOME/OVU/OVU Helper.conf. A setting never stored reads as true.
bool storedSetting(const QString& key)
{
    QSettings settings(u"OVU"_s, u"OVU Helper"_s);
    return settings.value(key, true).toBool();
}

void storeSetting(const QString& key, bool value)
{
    QSettings settings(u"OVU"_s, u"OVU Helper"_s);
    settings.setValue(key, value);
}

const QString notAllowedToRecord =
    u"OVU Helper is not allowed to record the screen yet. On the Mac: System Settings → Privacy & "
    u"Security → Screen & System Audio Recording."_s;

// A JSON number that is a whole value in the range of T.
template <typename T>
std::optional<T> integerOf(const QJsonValue& value)
{
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (std::trunc(number) != number || number < double(std::numeric_limits<T>::min()) ||
        number > double(std::numeric_limits<T>::max())) {
        return std::nullopt;
    }
    return static_cast<T>(number);
}

// A requested picture height: any whole JSON number, held to the heights the helper sends.
std::optional<int> heightOf(const QJsonValue& value)
{
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number) {
        return std::nullopt;
    }
    return static_cast<int>(
        std::clamp(number, double(HelperModel::minimumHeight), double(HelperModel::maximumHeight)));
}

} // namespace

HelperModel::HelperModel(LaunchOptions options, QString macName,
                         std::unique_ptr<ServiceAdvertiser> advertiser,
                         std::unique_ptr<PairedDevices> devices, std::unique_ptr<AudioOutput> audioOutput,
                         std::unique_ptr<CaptureBackend> captureBackend, std::shared_ptr<EventSink> eventSink)
    : options(std::move(options))
    , mute(std::move(audioOutput))
    , input(std::move(eventSink))
    , recordCheck([this] { return m_capture != nullptr; })
    , m_macName(std::move(macName))
    , m_advertiser(std::move(advertiser))
    , m_devices(devices ? std::move(devices) : std::make_unique<PairedDevices>())
    , m_captureBackend(std::move(captureBackend))
    , m_capture(m_captureBackend ? std::make_unique<ScreenCapture>(*m_captureBackend) : nullptr)
{
    // The three settings are true until stored otherwise.
    m_acceptsConnections = storedSetting(u"acceptsConnections"_s);
    m_sendsSound = storedSetting(u"sendsSound"_s);
    m_mutesWhileConnected = storedSetting(u"mutesWhileConnected"_s);
    // Quitting normally, and SIGTERM or SIGINT (which quit the application), never leave the
    // computer silent.
    if (QCoreApplication::instance()) {
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                [this] { mute.restore(); });
    }
}

HelperModel::~HelperModel()
{
    if (m_sender) {
        m_sender->stop();
    }
}

LinkServer& HelperModel::server()
{
    if (!m_server) {
        m_server = std::make_unique<LinkServer>(*m_devices, m_macName, std::move(m_advertiser));
    }
    return *m_server;
}

void HelperModel::startUp()
{
    if (m_started) {
        return;
    }
    m_started = true;
    // The views show the state as it is: the snapshots are taken once the permissions, the login
    // item and the settings are known.
    canRecord = recordCheck();
    canControl = controlCheck();
    opensAtLogin = loginItem && loginItem->isEnabled();
    if (renderUIIfAsked) {
        renderUIIfAsked();
    }
    mute.removeLeftovers();
    QPointer<HelperModel> weak(this);
    server().askToPair = [weak](QString name, QString code) { return gate(weak, name, code); };
    server().onSession = [weak](const std::shared_ptr<LinkSession>& session) {
        if (weak) {
            weak->begin(session);
        }
    };
    server().onProblem = [weak](const std::optional<QString>& problem) {
        if (weak) {
            weak->message = problem;
            Q_EMIT weak->changed();
        }
    };
    if (m_acceptsConnections) {
        server().start();
    }
    m_permissionTimer = new QTimer(this);
    m_permissionTimer->setInterval(permissionPollInterval);
    connect(m_permissionTimer, &QTimer::timeout, this, [this] { checkPermissions(); });
    m_permissionTimer->start();
    if (m_captureBackend) {
        m_captureBackend->onScreensChanged = [weak] {
            if (weak) {
                weak->displaysChanged();
            }
        };
    }
    if (canRecord) {
        loadDisplays();
    }
    Q_EMIT changed();
}

void HelperModel::setAcceptsConnections(bool on)
{
    m_acceptsConnections = on;
    storeSetting(u"acceptsConnections"_s, on);
    if (on) {
        server().start();
    } else {
        endSession(std::nullopt);
        server().stop();
    }
    Q_EMIT changed();
}

void HelperModel::setSendsSound(bool on)
{
    m_sendsSound = on;
    storeSetting(u"sendsSound"_s, on);
    Q_EMIT changed();
}

void HelperModel::setMutesWhileConnected(bool on)
{
    m_mutesWhileConnected = on;
    storeSetting(u"mutesWhileConnected"_s, on);
    if (on) {
        if (m_sender && m_sendsSound) {
            mute.mute();
        }
    } else {
        mute.restore();
    }
    Q_EMIT changed();
}

void HelperModel::setOpensAtLogin(bool on)
{
    if (!loginItem) {
        return;
    }
    if (const std::optional<QString> error = on ? loginItem->enable() : loginItem->disable()) {
        HelperLog::write(u"open at login: "_s + *error);
        message = u"Could not change Open at Login: "_s + *error;
    }
    opensAtLogin = loginItem->isEnabled();
    Q_EMIT changed();
}

void HelperModel::forget(const PairedDevice& device)
{
    m_devices->remove(device);
    if (m_session && m_session->deviceID == device.id) {
        endSession(u"This Mac no longer allows this phone."_s);
    }
    Q_EMIT changed();
}

void HelperModel::checkPermissions()
{
    const bool record = recordCheck();
    if (record != canRecord) {
        canRecord = record;
        Q_EMIT changed();
    }
    const bool control = controlCheck();
    if (control != canControl) {
        canControl = control;
        if (control && makeEventSource) {
            input.source = makeEventSource();
        }
        HelperLog::write(control ? u"control allowed"_s : u"control not allowed"_s);
        send(QJsonObject{{u"t"_s, u"control"_s}, {u"on"_s, control}});
        Q_EMIT changed();
    }
    const bool atLogin = loginItem && loginItem->isEnabled();
    if (atLogin != opensAtLogin) {
        opensAtLogin = atLogin;
        Q_EMIT changed();
    }
}

void HelperModel::askForControl()
{
    if (!controlCheck() && openControlSettings) {
        openControlSettings();
    }
}

void HelperModel::askForRecording()
{
    if (!recordCheck() && openRecordingSettings) {
        openRecordingSettings();
    }
}

QCoro::Task<> HelperModel::displaysChanged()
{
    QPointer<HelperModel> self(this);
    co_await loadDisplays();
    if (!self) {
        co_return;
    }
    // The shown display may have moved: the pointer follows it.
    if (self->m_sender && self->displayID) {
        if (const std::optional<QRect> bounds = self->m_captureBackend->displayBounds(*self->displayID)) {
            self->input.displayBounds = QRectF(*bounds);
        }
    }
    if (self->m_session) {
        self->send(QJsonObject{{u"t"_s, u"displays"_s}, {u"displays"_s, self->displayObjects()}});
    }
}

QCoro::Task<> HelperModel::loadDisplays()
{
    QPointer<HelperModel> self(this);
    if (!m_capture) {
        displays.clear();
        canRecord = false;
        Q_EMIT changed();
        co_return;
    }
    const CaptureResult<QList<HelperDisplay>> result = co_await m_capture->displays();
    if (!self) {
        co_return;
    }
    if (result.ok()) {
        displays = result.value();
        canRecord = true;
    } else {
        HelperLog::write(u"no displays: "_s + result.error().description);
        displays.clear();
        canRecord = recordCheck();
    }
    Q_EMIT changed();
}

QCoro::Task<bool> HelperModel::pairingGate(QString name, QString code)
{
    return gate(this, name, code);
}

QCoro::Task<bool> HelperModel::gate(QPointer<HelperModel> model, QString name, QString code)
{
    if (!model) {
        co_return false;
    }
    if (model->options.autoAllow) {
        HelperLog::write(u"pairing with "_s + name + u", code "_s + code + u": allowed by -autoallow"_s);
        co_return true;
    }
    if (model->lastRefusal && model->now() - *model->lastRefusal < refusalPause) {
        HelperLog::write(u"pairing asked by "_s + name + u": turned away, a request was just refused"_s);
        co_return false;
    }
    HelperLog::write(u"pairing asked by "_s + name);
    const auto ask = model->askUser;
    const bool allowed = ask ? co_await ask(name, code) : false;
    if (model && !allowed) {
        model->lastRefusal = model->now();
    }
    co_return allowed;
}

void HelperModel::begin(const std::shared_ptr<LinkSession>& session)
{
    if (m_session) {
        endSession(u"Another phone connected to this Mac."_s);
    }
    m_session = session;
    connectedName = session->deviceName;
    HelperLog::write(session->deviceName + u" connected"_s);
    QPointer<HelperModel> weak(this);
    std::weak_ptr<LinkSession> weakSession = session;
    server().watch(session, [weak, weakSession] {
        auto closed = weakSession.lock();
        if (!weak || !closed || weak->m_session != closed) {
            return;
        }
        HelperLog::write(closed->deviceName + u" left"_s);
        weak->m_session = nullptr;
        weak->connectedName = std::nullopt;
        Q_EMIT weak->changed();
        weak->stopSharingSoon();
    });
    session->onMessage = [weak, weakSession](const QJsonObject& message) {
        auto active = weakSession.lock();
        if (weak && active && weak->m_session == active) {
            weak->handle(message);
        }
    };
    Q_EMIT changed();
    prepare(weakSession);
}

void HelperModel::wakeDisplays()
{
    if (!displaySleep) {
        return;
    }
    displaySleep->wake();
    if (!m_awake) {
        m_awake = displaySleep->hold();
    }
}

QCoro::Task<> HelperModel::prepare(std::weak_ptr<LinkSession> session)
{
    QPointer<HelperModel> self(this);
    wakeDisplays();
    co_await loadDisplays();
    for (int pass = 0; pass < displayWaitPasses && self; ++pass) {
        if (self->displays.isEmpty() && self->canRecord) {
            co_await QCoro::sleepFor(displayWaitPass);
            if (self) {
                co_await self->loadDisplays();
            }
        }
    }
    const std::shared_ptr<LinkSession> ready = session.lock();
    // A phone replaced meanwhile has had its "bye"; it gets nothing more.
    if (!self || !ready || self->m_session != ready) {
        co_return;
    }
    ready->channel->send(QJsonObject{{u"t"_s, u"ready"_s},
                                     {u"displays"_s, self->displayObjects()},
                                     {u"control"_s, self->canControl},
                                     {u"record"_s, self->canRecord},
                                     {u"sound"_s, self->m_sendsSound}});
}

void HelperModel::handle(const QJsonObject& message)
{
    const QJsonValue type = message.value(u"t"_s);
    if (!type.isString()) {
        return;
    }
    const QString t = type.toString();
    if (t == u"start"_s || t == u"view"_s) {
        show(integerOf<std::uint32_t>(message.value(u"display"_s)),
             heightOf(message.value(u"h"_s)).value_or(targetHeight));
    } else if (t == u"answer"_s || t == u"ice"_s) {
        if (m_sender) {
            m_sender->receive(message);
        }
    } else if (t == u"bye"_s) {
        endSession(std::nullopt);
    }
}

QCoro::Task<> HelperModel::show(std::optional<std::uint32_t> display, int height)
{
    QPointer<HelperModel> self(this);
    if (displays.isEmpty()) {
        co_await loadDisplays();
        if (!self) {
            co_return;
        }
    }
    auto chosen = std::find_if(displays.cbegin(), displays.cend(),
                               [&](const HelperDisplay& entry) { return display && entry.id == *display; });
    if (chosen == displays.cend()) {
        chosen = std::find_if(displays.cbegin(), displays.cend(), [&](const HelperDisplay& entry) {
            return displayID && entry.id == *displayID;
        });
    }
    if (chosen == displays.cend()) {
        chosen = displays.cbegin();
    }
    if (chosen == displays.cend() || !m_capture) {
        send(QJsonObject{{u"t"_s, u"bye"_s}, {u"reason"_s, notAllowedToRecord}});
        co_return;
    }
    const HelperDisplay shown = *chosen;
    targetHeight = height;
    displayID = shown.id;
    const auto [width, pictureHeight] = shown.captureSize(targetHeight);
    const double bits = std::trunc(double(width) * double(pictureHeight) * 5.5);
    const int bitrate = static_cast<int>(std::clamp(bits, 6'000'000.0, 40'000'000.0));
    if (const std::optional<QRect> bounds = m_captureBackend->displayBounds(shown.id)) {
        input.displayBounds = QRectF(*bounds);
    }
    HelperLog::write(u"showing "_s + shown.name + u" at "_s + QString::number(width) + u"x"_s +
                     QString::number(pictureHeight));
    const QJsonObject showing{{u"t"_s, u"showing"_s}, {u"display"_s, double(shown.id)}};

    if (m_sender) {
        m_sender->setMaxBitrate(bitrate);
        const std::optional<CaptureError> error =
            co_await m_capture->update(shown.id, int(width), int(pictureHeight));
        if (!self) {
            co_return;
        }
        if (error) {
            HelperLog::write(u"could not change the capture: "_s + error->description);
        }
        send(showing);
        co_return;
    }

    auto created = std::make_unique<VideoSender>(frameRate, bitrate);
    VideoSender* sender = created.get();
    sender->sendSignal = [self](const QJsonObject& signal) {
        if (self) {
            self->send(signal);
        }
    };
    sender->onState = [self](const SenderState& newState) {
        if (self) {
            self->senderState(newState);
        }
    };
    sender->onStats = [self](const SenderStats& figures) {
        if (!self) {
            return;
        }
        self->stats = figures;
        if (figures.framesPerSecond > 0 || figures.megabitsPerSecond > 0) {
            HelperLog::write(QString::asprintf("%.0f frames/s, %.1f Mbit/s, %dx%d, %s",
                                               figures.framesPerSecond, figures.megabitsPerSecond,
                                               figures.width, figures.height, qPrintable(figures.encoder)));
        }
        Q_EMIT self->changed();
    };
    canControl = controlCheck();
    sender->onControlMessage = [self](const QByteArray& bytes) {
        if (self) {
            self->input.handle(bytes);
        }
    };
    m_sender = std::move(created);
    // Pictures and sound go from the capture's threads straight to the sender, which outlives
    // every capture it is fed by (the capture is stopped first).
    m_capture->onFrame = [sender](const std::shared_ptr<PixelBuffer>& buffer, std::chrono::nanoseconds time) {
        sender->sendFrame(buffer, time);
    };
    m_capture->onAudio = [sender](const QByteArray& sound) { sender->sendAudio(sound); };
    m_capture->onStopped = [self](const std::optional<CaptureError>& error) {
        if (!self) {
            return;
        }
        HelperLog::write(u"capture stopped: "_s + (error ? error->description : u"nil"_s));
        self->endSession(u"The Mac stopped the screen capture."_s);
    };
    m_capture->framesPerSecond = frameRate;
    m_capture->capturesAudio = m_sendsSound;
    const std::optional<CaptureError> error =
        co_await m_capture->start(shown.id, int(width), int(pictureHeight));
    if (!self) {
        co_return;
    }
    if (m_sender.get() != sender || !m_session) {
        // The phone went away while the capture started: nothing is shared.
        if (!error) {
            co_await m_capture->stop();
        }
        if (self && m_sender.get() == sender) {
            m_sender.reset();
        }
        co_return;
    }
    if (error) {
        HelperLog::write(u"capture failed: "_s + error->description);
        m_sender.reset();
        canRecord = recordCheck();
        send(QJsonObject{
            {u"t"_s, u"bye"_s},
            {u"reason"_s, canRecord ? u"The Mac could not start the screen capture: "_s + error->description
                                    : notAllowedToRecord}});
        Q_EMIT changed();
        co_return;
    }
    m_sender->start();
    message = std::nullopt;
    if (m_sendsSound && m_mutesWhileConnected) {
        mute.mute();
    }
    send(showing);
    Q_EMIT changed();
}

void HelperModel::senderState(const SenderState& newState)
{
    state = newState;
    if (newState.kind != SenderState::Kind::connected) {
        input.releaseAll();
    }
    HelperLog::write(u"state "_s + newState.description());
    Q_EMIT changed();
    if (newState.kind == SenderState::Kind::failed && !newState.message.isEmpty()) {
        endSession(newState.message);
    }
}

QCoro::Task<> HelperModel::stopSharing()
{
    QPointer<HelperModel> self(this);
    input.releaseAll();
    if (m_capture) {
        co_await m_capture->stop();
        if (!self) {
            co_return;
        }
    }
    if (m_sender) {
        m_sender->stop();
        // Its own callbacks may be what brought us here: it goes once they have returned.
        m_sender.release()->deleteLater();
    }
    stats = SenderStats{};
    state = SenderState::idle();
    // While a phone stays connected the display is kept on, shared or not.
    if (!m_session && m_awake) {
        displaySleep->release();
        m_awake = false;
    }
    mute.restore();
    Q_EMIT changed();
}

void HelperModel::send(const QJsonObject& message)
{
    if (m_session) {
        m_session->channel->send(message);
    }
}

QJsonArray HelperModel::displayObjects() const
{
    QJsonArray list;
    for (const HelperDisplay& display : displays) {
        list.append(QJsonObject{{u"id"_s, double(display.id)},
                                {u"name"_s, display.name},
                                {u"w"_s, double(display.width)},
                                {u"h"_s, double(display.height)},
                                {u"pw"_s, double(display.pixelWidth)},
                                {u"ph"_s, double(display.pixelHeight)},
                                {u"main"_s, display.isMain}});
    }
    return list;
}

void HelperModel::endSession(const std::optional<QString>& reason)
{
    if (!m_session) {
        return;
    }
    if (reason) {
        m_session->channel->send(QJsonObject{{u"t"_s, u"bye"_s}, {u"reason"_s, *reason}});
    }
    std::shared_ptr<LinkSession> ended = std::move(m_session);
    m_session = nullptr;
    connectedName = std::nullopt;
    // The "bye" leaves before the connection closes.
    QTimer::singleShot(closeDelay, this, [ended] { ended->close(); });
    Q_EMIT changed();
    stopSharingSoon();
}

void HelperModel::stopSharingSoon()
{
    // As a task of its own: a phone that replaces this one is the active session by then, so
    // the display stays awake across the change.
    QTimer::singleShot(0, this, [this] { stopSharing(); });
}
