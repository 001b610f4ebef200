#pragma once
#include <mutex>
#include <QDateTime>

// Every read of the current time and every deliberate pause of the programs
// goes through this clock, so that tests can drive days and hours.
class TClock {
public:
    virtual ~TClock() = default;
    virtual QDateTime Now() const = 0;
    virtual void Sleep(int AMilliseconds) = 0;
};

// The clock in use: the system clock unless a test installed another one.
TClock& Clock();
// Installs AClock (not owned); nullptr restores the system clock.
void SetClock(TClock* AClock);

// The clock of a database that has no clock of its own to ask (SQLite lives
// on this machine): Clock() unless a test installs another one, so that the
// point of sale's clock and the connector's can differ in a test.
TClock& DatabaseClock();
void SetDatabaseClock(TClock* AClock);

// A clock that stands still until told to move; Sleep advances it. Locked,
// because the logger's writer thread reads the clock too.
class TManualClock : public TClock {
public:
    explicit TManualClock(QDateTime ANow) : FNow(std::move(ANow)) {}
    QDateTime Now() const override {
        std::lock_guard lock(FLock);
        return FNow;
    }
    void Sleep(int AMilliseconds) override { Advance(AMilliseconds); }
    void Set(const QDateTime& ANow) {
        std::lock_guard lock(FLock);
        FNow = ANow;
    }
    void Advance(qint64 AMilliseconds) {
        std::lock_guard lock(FLock);
        FNow = FNow.addMSecs(AMilliseconds);
    }

private:
    mutable std::mutex FLock;
    QDateTime FNow;
};
