#include "ui/HelperAppDelegate.h"

#include "core/HelperModel.h"
#include "core/HelperSettings.h"
#include "ui/HelperWelcome.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

using namespace Qt::StringLiterals;

HelperAppDelegate::HelperAppDelegate(HelperModel& model, QObject* parent) : QObject(parent), m_model(model)
{}

HelperAppDelegate::~HelperAppDelegate() = default;

void HelperAppDelegate::applicationDidFinishLaunching()
{
    const bool shown = HelperSettings::takeWelcomeShown();
    if (m_model.options.renderUIAsked || m_model.options.autoAllow) {
        return;
    }
    if (shown && m_model.canRecord && m_model.canControl) {
        return;
    }
    showWindow();
}

void HelperAppDelegate::showWindow()
{
    if (!m_window) {
        // Titled and closable, neither resizable nor minimisable.
        auto window = std::make_unique<QWidget>(nullptr, Qt::Window | Qt::CustomizeWindowHint |
                                                             Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        window->setObjectName(u"WelcomeWindow"_s);
        window->setWindowTitle(u"OVU Helper"_s);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        QPointer<QWidget> weak(window.get());
        auto* welcome = new HelperWelcome(
            m_model,
            [weak] {
                if (weak) {
                    weak->close();
                }
            },
            window.get());
        layout->addWidget(welcome);
        QWidget* raw = window.get();
        const auto fit = [raw, welcome] { raw->setFixedSize(welcome->size()); };
        connect(welcome, &HelperWelcome::resized, raw, fit);
        fit();
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame(QPoint(), window->size());
            frame.moveCenter(screen->availableGeometry().center());
            window->move(frame.topLeft());
        }
        m_window = std::move(window);
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

bool HelperAppDelegate::applicationShouldHandleReopen()
{
    showWindow();
    return false;
}
