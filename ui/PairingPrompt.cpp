#include "ui/PairingPrompt.h"

#include "ui/PairingView.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

PairingPrompt::PairingPrompt(QObject* parent) : QObject(parent)
{}

PairingPrompt::~PairingPrompt()
{
    finish(false);
}

QString PairingPrompt::shownCode(const QString& code)
{
    return code.size() == 6 ? code.left(3) + u' ' + code.right(3) : code;
}

QCoro::Task<bool> PairingPrompt::ask(QString name, QString code)
{
    if (m_panel) {
        co_return false;
    }
    auto pending = std::make_shared<Pending>();
    m_answer = pending;

    // A floating panel above ordinary windows, with a title bar but nothing to close it with: the
    // answers are its two buttons and Escape.
    auto* panel = new QWidget(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                                           Qt::WindowTitleHint);
    panel->setObjectName(u"PairingPanel"_s);
    panel->setWindowTitle(u"OVU Helper"_s);
    panel->setAttribute(Qt::WA_DeleteOnClose, false);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    QPointer<PairingPrompt> weak(this);
    auto* view = new PairingView(
        name, shownCode(code),
        [weak](bool allowed) {
            if (weak) {
                weak->finish(allowed);
            }
        },
        panel);
    layout->addWidget(view);
    panel->setFixedSize(view->size());
    panel->installEventFilter(this);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), panel->size());
        frame.moveCenter(screen->availableGeometry().center());
        panel->move(frame.topLeft());
    }
    m_panel = panel;
    panel->show();
    panel->raise();
    panel->activateWindow();

    // Only this very panel: a later prompt's panel is never closed by this time-out.
    QTimer::singleShot(timeout, this, [this, shown = QPointer<QWidget>(panel)] {
        if (m_panel && m_panel == shown) {
            finish(false);
        }
    });
    // A named awaiter: GCC 12 gets the lifetime of a temporary awaiter in "co_return co_await"
    // wrong (AddressSanitizer saw its shared_ptr released twice).
    Answer waiting{std::move(pending)};
    const bool allowed = co_await waiting;
    co_return allowed;
}

void PairingPrompt::finish(bool allowed)
{
    if (QWidget* panel = m_panel) {
        m_panel = nullptr;
        panel->removeEventFilter(this);
        panel->close();
        panel->deleteLater();
    }
    if (std::shared_ptr<Pending> pending = std::move(m_answer)) {
        m_answer.reset();
        pending->answer = allowed;
        pending->done = true;
        if (pending->caller) {
            pending->caller.resume();
        }
    }
}

bool PairingPrompt::eventFilter(QObject* watched, QEvent* event)
{
    // The window system's close (a window manager's close button) counts as "Don’t Allow".
    if (event->type() == QEvent::Close && watched == m_panel) {
        event->ignore();
        finish(false);
        return true;
    }
    return QObject::eventFilter(watched, event);
}
