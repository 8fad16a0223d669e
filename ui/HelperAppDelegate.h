#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

class HelperModel;
class HelperWelcome;
class QWidget;

// Decides at launch whether the welcome window appears, and shows it again when the helper is
// launched a second time. The window is made once and then reused (closing only hides it).
class HelperAppDelegate : public QObject {
    Q_OBJECT

public:
    explicit HelperAppDelegate(HelperModel& model, QObject* parent = nullptr);
    ~HelperAppDelegate() override;

    // Sets "hasShownWelcome" and shows the welcome window at the first launch ever and at every
    // launch while a permission is missing; never with -renderui or -autoallow.
    void applicationDidFinishLaunching();
    void showWindow();
    // A second launch: the window comes back. Answers false (nothing more to do).
    bool applicationShouldHandleReopen();

    QWidget* window() const { return m_window.get(); }

private:
    HelperModel& m_model;
    std::unique_ptr<QWidget> m_window;
};
