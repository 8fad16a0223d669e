#pragma once

#include <QWidget>

#include <functional>

class HelperMenu;
class HelperModel;

// The welcome window's content: a header saying the helper runs in the tray, over the whole
// panel with a "Done" button.
class HelperWelcome : public QWidget {
    Q_OBJECT

public:
    static constexpr int pointWidth = 372;

    HelperWelcome(HelperModel& model, std::function<void()> onDone, QWidget* parent = nullptr);
    HelperMenu* menu() const { return m_menu; }

Q_SIGNALS:
    void resized();

private:
    void fitHeight();
    HelperMenu* m_menu;
};
