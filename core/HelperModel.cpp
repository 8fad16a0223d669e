#include "core/HelperModel.h"

#include "core/HelperLog.h"
#include "core/LinkServer.h"
#include "core/ServiceAdvertiser.h"
#include "link/LinkSession.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QTimer>

using namespace Qt::StringLiterals;

HelperModel::HelperModel(LaunchOptions options, QString macName,
                         std::unique_ptr<ServiceAdvertiser> advertiser,
                         std::unique_ptr<PairedDevices> devices, std::unique_ptr<AudioOutput> audioOutput)
    : options(std::move(options))
    , mute(std::move(audioOutput))
    , m_macName(std::move(macName))
    , m_advertiser(std::move(advertiser))
    , m_devices(devices ? std::move(devices) : std::make_unique<PairedDevices>())
{
    // Quitting normally, and SIGTERM or SIGINT (which quit the application), never leave the
    // computer silent.
    if (QCoreApplication::instance()) {
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                [this] { mute.restore(); });
    }
}

HelperModel::~HelperModel() = default;

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
    server().start();
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
    });
    session->onMessage = [weak, weakSession](const QJsonObject& message) {
        auto active = weakSession.lock();
        if (weak && active && weak->m_session == active) {
            weak->handle(message);
        }
    };
    Q_EMIT changed();
}

void HelperModel::handle(const QJsonObject& message)
{
    const QJsonValue type = message.value(u"t"_s);
    if (!type.isString()) {
        return;
    }
    if (type.toString() == u"bye"_s) {
        endSession(std::nullopt);
    }
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
}
