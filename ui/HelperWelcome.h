#pragma once

#include <QWidget>

#include <functional>

class HelperPanel;
class HelperModel;

// The welcome window's content: a header saying where the helper lives (the tray, or this window
// on a desktop without one), over the whole panel with a "Done" button.
class HelperWelcome : public QWidget {
    Q_OBJECT

public:
    static constexpr int pointWidth = 372;

    HelperWelcome(HelperModel& model, std::function<void()> onDone, QWidget* parent = nullptr);
    HelperPanel* menu() const { return m_menu; }
    // What the header says of where the helper lives: in the tray when the desktop shows one.
    static QString explanationText();

Q_SIGNALS:
    void resized();

private:
    void fitHeight();
    HelperPanel* m_menu;
};
