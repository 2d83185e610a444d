// GoogleTest entry point for tests that need Qt's event loop or widgets.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    // Widgets are tested without a display unless a test run asks for one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication::setApplicationName("Tarnwick");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
