#pragma once

#include "ui/HelperAppDelegate.h"
#include "ui/PairingPrompt.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class HelperPanel;
class HelperModel;
class QSystemTrayIcon;
class QWidget;

// The application: the tray icon (filled while a phone is connected) whose activation opens the
// panel, the pairing prompt the model asks, the launch decisions of the delegate and the
// snapshot mode.
class OVUHelperApp : public QObject {
    Q_OBJECT

public:
    explicit OVUHelperApp(HelperModel& model, QObject* parent = nullptr);
    ~OVUHelperApp() override;

    // The tray icon, the model's start-up (snapshots first, when asked) and the launch decision.
    void start();

    HelperAppDelegate delegate;
    PairingPrompt pairing;

    // The symbol the tray shows now.
    QString traySymbol() const;
    QSystemTrayIcon* tray() const { return m_tray.get(); }
    // The panel opened from the tray, once it was opened.
    QWidget* panel() const { return m_panel.get(); }
    void showPanel();

private:
    void renderUIIfAsked();
    void updateTray();

    HelperModel& m_model;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<QWidget> m_panel;
    QString m_shownSymbol;
    bool m_started = false;
};
