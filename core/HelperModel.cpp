#include "core/HelperModel.h"

#include "base/HelperLog.h"
#include "core/LinkServer.h"
#include "core/SignalMessages.h"
#include "link/LinkSession.h"
#include "link/OVULinkChannel.h"
#include "media/ScreenCapture.h"

#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QString notAllowedToRecord =
    u"OVU Helper is not allowed to record the screen yet. On the Mac: System Settings → Privacy & "
    u"Security → Screen & System Audio Recording."_s;

} // namespace

HelperModel::HelperModel(LaunchOptions launchOptions, Platform platform,
                         std::unique_ptr<PairedDevices> devices)
    : options(std::move(launchOptions))
    , m_platform(std::move(platform))
    , m_devices(devices ? std::move(devices) : std::make_unique<PairedDevices>())
    , m_gate(options.autoAllow)
    , m_silencer(std::move(m_platform.audioOutput))
    , m_input(m_platform.eventSink, options.inputLog)
    , m_sharing(std::make_unique<SharingSession>(m_platform.capture.get(), m_platform.sound.get(),
                                                 m_platform.displaySleep.get(), m_silencer, m_input,
                                                 VideoSender::Options{options.inputLog, options.rtcLog}))
{
    if (m_platform.doubleClickInterval) {
        m_input.doubleClickInterval = m_platform.doubleClickInterval;
    }
    QPointer<HelperModel> self(this);
    m_sharing->sendSignal = [self](const VideoSender::Signal& signal) {
        if (self) {
            self->send(SignalMessages::json(signal));
        }
    };
    m_sharing->onFailed = [self](const QString& reason) {
        if (self) {
            self->endSession(reason);
        }
    };
    m_sharing->onChanged = [self] {
        if (self) {
            Q_EMIT self->changed();
        }
    };
    // Quitting normally, and SIGTERM or SIGINT (which quit the application), never leave the
    // computer silent.
    if (QCoreApplication::instance()) {
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                [this] { m_silencer.restore(); });
    }
}

HelperModel::~HelperModel() = default;

LinkServer& HelperModel::server()
{
    if (!m_server) {
        m_server = std::make_unique<LinkServer>(*m_devices, m_platform.computerName,
                                                std::move(m_platform.advertiser));
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
    canRecord = m_platform.canRecord();
    canControl = m_platform.canControl();
    opensAtLogin = m_platform.loginItem && m_platform.loginItem->isEnabled();
    if (renderUIIfAsked) {
        renderUIIfAsked();
    }
    m_silencer.removeLeftovers();
    QPointer<HelperModel> weak(this);
    server().askToPair = [weak](QString name, QString code) -> QCoro::Task<bool> {
        if (!weak) {
            return [](bool no) -> QCoro::Task<bool> { co_return no; }(false);
        }
        return weak->m_gate.ask(std::move(name), std::move(code));
    };
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
    if (acceptsConnections()) {
        server().start();
    }
    m_permissionTimer = new QTimer(this);
    m_permissionTimer->setInterval(permissionPollInterval);
    connect(m_permissionTimer, &QTimer::timeout, this, [this] { checkPermissions(); });
    m_permissionTimer->start();
    if (m_platform.capture) {
        m_platform.capture->onScreensChanged = [weak] {
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
    m_settings.setAcceptsConnections(on);
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
    m_settings.setSendsSound(on);
    Q_EMIT changed();
}

void HelperModel::setMutesWhileConnected(bool on)
{
    m_settings.setMutesWhileConnected(on);
    m_sharing->silence(on && sendsSound());
    Q_EMIT changed();
}

void HelperModel::setOpensAtLogin(bool on)
{
    LoginItem* item = m_platform.loginItem.get();
    if (!item) {
        return;
    }
    if (const Result<> changedItem = on ? item->enable() : item->disable(); !changedItem.ok()) {
        HelperLog::write(u"open at login: "_s + changedItem.error());
        message = u"Could not change Open at Login: "_s + changedItem.error();
    }
    opensAtLogin = item->isEnabled();
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
    const bool record = m_platform.canRecord();
    if (record != canRecord) {
        canRecord = record;
        Q_EMIT changed();
    }
    const bool control = m_platform.canControl();
    if (control != canControl) {
        canControl = control;
        if (control && m_platform.makeEventSink) {
            m_input.sink = m_platform.makeEventSink();
        }
        HelperLog::write(control ? u"control allowed"_s : u"control not allowed"_s);
        send(LinkMessages::Control{control}.json());
        Q_EMIT changed();
    }
    const bool atLogin = m_platform.loginItem && m_platform.loginItem->isEnabled();
    if (atLogin != opensAtLogin) {
        opensAtLogin = atLogin;
        Q_EMIT changed();
    }
}

void HelperModel::askForControl()
{
    if (!m_platform.canControl() && m_platform.controlPage.open) {
        m_platform.controlPage.open();
    }
}

void HelperModel::askForRecording()
{
    if (!m_platform.canRecord() && m_platform.recordingPage.open) {
        m_platform.recordingPage.open();
    }
}

QCoro::Task<> HelperModel::displaysChanged()
{
    QPointer<HelperModel> self(this);
    co_await loadDisplays();
    if (!self) {
        co_return;
    }
    self->m_sharing->displaysChanged();
    self->send(LinkMessages::Displays{self->displayEntries()}.json());
}

QCoro::Task<> HelperModel::loadDisplays()
{
    QPointer<HelperModel> self(this);
    if (!m_sharing->capture()) {
        displays.clear();
        canRecord = false;
        Q_EMIT changed();
        co_return;
    }
    const Result<QList<HelperDisplay>> result = co_await m_sharing->capture()->displays();
    if (!self) {
        co_return;
    }
    if (result.ok()) {
        displays = result.value();
        canRecord = true;
    } else {
        HelperLog::write(u"no displays: "_s + result.error());
        displays.clear();
        canRecord = m_platform.canRecord();
    }
    Q_EMIT changed();
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

QCoro::Task<> HelperModel::prepare(std::weak_ptr<LinkSession> session)
{
    QPointer<HelperModel> self(this);
    m_sharing->wake();
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
    ready->channel->send(
        LinkMessages::Ready{self->displayEntries(), self->canControl, self->canRecord, self->sendsSound()}
            .json());
}

void HelperModel::handle(const QJsonObject& message)
{
    if (const auto request = LinkMessages::Show::from(message)) {
        show(*request);
    } else if (const auto signal = SignalMessages::from(message)) {
        m_sharing->receive(*signal);
    } else if (LinkMessages::Bye::from(message)) {
        endSession(std::nullopt);
    }
}

QCoro::Task<> HelperModel::show(LinkMessages::Show request)
{
    QPointer<HelperModel> self(this);
    if (displays.isEmpty()) {
        co_await loadDisplays();
        if (!self) {
            co_return;
        }
    }
    // The display asked for, else the one shown last, else the first.
    auto chosen = std::find_if(displays.cbegin(), displays.cend(), [&](const HelperDisplay& entry) {
        return request.display && entry.id == *request.display;
    });
    if (chosen == displays.cend()) {
        chosen = std::find_if(displays.cbegin(), displays.cend(), [&](const HelperDisplay& entry) {
            return displayID && entry.id == *displayID;
        });
    }
    if (chosen == displays.cend()) {
        chosen = displays.cbegin();
    }
    if (chosen == displays.cend()) {
        send(LinkMessages::Bye{notAllowedToRecord}.json());
        co_return;
    }
    const HelperDisplay shown = *chosen;
    if (request.height) {
        targetHeight =
            static_cast<int>(std::clamp(*request.height, double(minimumHeight), double(maximumHeight)));
    }
    displayID = shown.id;
    const auto [width, height] = shown.captureSize(targetHeight);
    const bool starting = !m_sharing->isSharing();
    if (starting) {
        canControl = m_platform.canControl();
    }
    // Made outside the co_await: GCC 12 may destroy temporaries of an awaited expression twice.
    QCoro::Task<Result<>> showing =
        m_sharing->show(shown, int(width), int(height), sendsSound(), mutesWhileConnected(),
                        [self] { return self && self->m_session != nullptr; });
    const Result<> started = co_await showing;
    if (!self) {
        co_return;
    }
    if (!started.ok()) {
        canRecord = m_platform.canRecord();
        send(LinkMessages::Bye{canRecord ? u"The Mac could not start the screen capture: "_s + started.error()
                                         : notAllowedToRecord}
                 .json());
        Q_EMIT changed();
        co_return;
    }
    if (!m_sharing->isSharing()) {
        co_return; // the phone went away meanwhile
    }
    if (starting) {
        message = std::nullopt;
    }
    send(LinkMessages::Showing{shown.id}.json());
    Q_EMIT changed();
}

void HelperModel::send(const QJsonObject& message)
{
    if (m_session) {
        m_session->channel->send(message);
    }
}

QList<LinkMessages::Display> HelperModel::displayEntries() const
{
    QList<LinkMessages::Display> entries;
    for (const HelperDisplay& display : displays) {
        entries.append({display.id, display.name, display.width, display.height, display.pixelWidth,
                        display.pixelHeight, display.isMain});
    }
    return entries;
}

void HelperModel::endSession(const std::optional<QString>& reason)
{
    if (!m_session) {
        return;
    }
    if (reason) {
        m_session->channel->send(LinkMessages::Bye{reason}.json());
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
    QTimer::singleShot(0, this, [this] { m_sharing->stop(m_session != nullptr); });
}
