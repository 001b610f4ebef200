#pragma once
// The QApplication of a test program with windows: made by the first suite
// that needs one and kept until the process ends, on the offscreen platform
// also when the program is started by hand. Each test closes its own windows,
// so closing the last one does not quit.
#include <QApplication>
#include <string>

namespace testsupport {

inline void EnsureApplication(const char* AName) {
    if (QApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static std::string name;
    name = AName;
    static int argc = 1;
    static char* argv[] = {name.data(), nullptr};
    new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
}

} // namespace testsupport
