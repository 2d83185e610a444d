// GoogleTest entry point for tests that need Qt's event loop or widgets.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    QApplication::setApplicationName("Tarnwick");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
