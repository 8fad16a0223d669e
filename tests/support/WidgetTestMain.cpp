#include <QApplication>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

// For the programs that test widgets: a QApplication on the platform the environment names
// (offscreen under tests/env/isolate, or the X display a program picks before it starts).
int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (const char* platform = std::getenv("OVU_TEST_QPA")) {
        setenv("QT_QPA_PLATFORM", platform, 1);
    }
    if (const char* display = std::getenv("OVU_TEST_DISPLAY")) {
        setenv("DISPLAY", display, 1);
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("OVU"));
    QApplication::setApplicationName(QStringLiteral("OVU Helper"));
    QApplication::setApplicationVersion(QStringLiteral(OVU_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
