#pragma once
// A manual clock that runs a callback on each sleep, so that a test can act
// "while" the code under test waits.
#include "common/uOVClock.h"

#include <functional>

namespace testsupport {

class TScriptedClock : public TManualClock {
public:
    using TManualClock::TManualClock;
    std::function<void()> OnSleep;
    void Sleep(int AMilliseconds) override {
        TManualClock::Sleep(AMilliseconds);
        if (OnSleep)
            OnSleep();
    }
};

} // namespace testsupport
