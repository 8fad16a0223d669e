#pragma once

#include <QWidget>

#include <functional>

class HelperModel;
class PairedDevices;
class PanelBox;
class QLabel;
class QPushButton;
class QVBoxLayout;
class SwitchButton;
class SymbolView;

// The helper's panel: status, warnings, the permission requests, the connected phone with its
// figures, the switches, the allowed phones and the footer. It holds no state of its own and
// follows the model and the store whenever they change. With `onDone` (the welcome window) the
// footer has a "Done" button on Return and the longer note.
class HelperPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr int pointWidth = 340;
    static constexpr int margin = 16;
    static constexpr int spacing = 14;

    HelperPanel(HelperModel& model, PairedDevices& devices, std::function<void()> onDone = {},
                QWidget* parent = nullptr);

    // Re-reads the model and the store; runs by itself on their changes.
    void refresh();
    // The figures line as the panel shows it.
    static QString figures(double framesPerSecond, double megabitsPerSecond, int width, int height);

Q_SIGNALS:
    // The panel's height changed with its content.
    void resized();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* permissionBox(const QString& objectName, const QString& title,
                           const std::function<void()>& open);
    QWidget* switchRow(const QString& objectName, const QString& title, SwitchButton** button);
    QWidget* divider();
    void rebuildDevices();
    void fitHeight();

    HelperModel& m_model;
    PairedDevices& m_devices;
    const std::function<void()> m_onDone;

    SymbolView* m_statusSymbol = nullptr;
    QLabel* m_statusWord = nullptr;
    QWidget* m_messageNote = nullptr;
    QLabel* m_messageText = nullptr;
    QWidget* m_recordingBox = nullptr;
    QWidget* m_controlBox = nullptr;
    PanelBox* m_connectedBox = nullptr;
    QLabel* m_connectedName = nullptr;
    QLabel* m_figures = nullptr;
    QLabel* m_hint = nullptr;
    SwitchButton* m_accepts = nullptr;
    SwitchButton* m_sound = nullptr;
    SwitchButton* m_mute = nullptr;
    SwitchButton* m_atLogin = nullptr;
    QWidget* m_devicesSection = nullptr;
    QVBoxLayout* m_deviceRows = nullptr;
};
