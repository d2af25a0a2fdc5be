// A QApplication for the window tests; offscreen unless a platform is chosen.
#include <QApplication>
#include <QFont>
#include <gtest/gtest.h>

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("Tahoma"), 8));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
