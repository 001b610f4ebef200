#include "common/uOVClock.h"

#include <atomic>
#include <QThread>

namespace {
class TSystemClock : public TClock {
public:
    QDateTime Now() const override { return QDateTime::currentDateTime(); }
    void Sleep(int AMilliseconds) override {
        QThread::msleep(AMilliseconds > 0 ? AMilliseconds : 0);
    }
};

TSystemClock SystemClock;
std::atomic<TClock*> CurrentClock{&SystemClock};
std::atomic<TClock*> CurrentDatabaseClock{nullptr};
} // namespace

TClock& Clock() {
    return *CurrentClock.load();
}

void SetClock(TClock* AClock) {
    CurrentClock.store(AClock ? AClock : &SystemClock);
}

TClock& DatabaseClock() {
    TClock* clock = CurrentDatabaseClock.load();
    return clock ? *clock : Clock();
}

void SetDatabaseClock(TClock* AClock) {
    CurrentDatabaseClock.store(AClock);
}
