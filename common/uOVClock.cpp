#include "common/uOVClock.h"

#include <QThread>
#include <atomic>

namespace {
class TSystemClock : public TClock {
public:
    QDateTime Now() const override { return QDateTime::currentDateTime(); }
    void Sleep(int AMilliseconds) override { QThread::msleep(AMilliseconds > 0 ? AMilliseconds : 0); }
};

TSystemClock SystemClock;
std::atomic<TClock*> CurrentClock{&SystemClock};
} // namespace

TClock& Clock() { return *CurrentClock.load(); }

void SetClock(TClock* AClock) { CurrentClock.store(AClock ? AClock : &SystemClock); }
