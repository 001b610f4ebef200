#pragma once
// The service's three event notices (start-up, shutdown, daily health), each
// with its recipients setting, subject and body line; and the error notices
// to "erroremails" while the database cannot be read or uploads fail.
#include "common/uOVUtils.h"

#include <array>
#include <cstddef>
#include <functional>
#include <QString>
#include <QStringList>

namespace uBrevoltRPro9ConnectorCommon {

// Each event's notice is a row of a table indexed by the enum
// (uBrevoltRPro9ConnectorNotify.cpp): a new event is a value here and a row
// there.
enum class TServiceEvent { Startup, Shutdown, DailyHealth };
constexpr size_t ServiceEventCount = 3;

struct TServiceNotice {
    QString Subject;
    QString BodyLine;
};

TServiceNotice ServiceNotice(TServiceEvent AEvent);
// The configured recipients of the event's notice.
QString ServiceNoticeRecipients(TServiceEvent AEvent);

// Sends the event's notice through SendNotification. A notice is side work:
// an error of the mail sender is logged as a warning and goes no further.
// The start-up notice also takes the restart marker: after a restart for
// missing data it says so, and with "notifyonstartup" on it goes to
// "erroremails" as well.
void NotifyServiceEvent(TServiceEvent AEvent);

// The marker "Brevoltconnector.restart" in the service directory: written
// just before the service ends with a failure status because the database
// could not be read, so that the next start knows why it was started. It
// also carries the outage's state, so that a restart does not mail it anew.
inline const QString RestartMarkerName = QStringLiteral("Brevoltconnector.restart");
void MarkRestartForMissingData();
// Whether the marker was there; it is removed, its outage state taken over.
bool TakeRestartMarker();

// Likewise each kind of failure, with its own state in TFailureNotices.
enum class TFailureKind { Database, Upload };
constexpr size_t FailureKindCount = 2;

// One error notice: its subject and body lines.
struct TFailureNotice {
    QString Subject;
    QStringList Body;
};

// Which error notices the outcomes of runs call for, per kind of failure: one
// at the first failure, a reminder at most every RepeatMs while it lasts,
// and one when it clears. Times come from Clock().
class TFailureNotices {
public:
    using TSender = std::function<void(const TFailureNotice&)>;
    static constexpr qint64 DefaultRepeatMs = 4 * 60 * 60 * 1000;

    explicit TFailureNotices(TSender ASender, qint64 ARepeatMs = DefaultRepeatMs);

    // AWaitingSince: the invoices after it wait to be sent (0: unknown).
    void Failed(TFailureKind AKind, const QString& AError, TDateTime AWaitingSince);
    void Succeeded(TFailureKind AKind);
    bool Failing(TFailureKind AKind) const;
    // The state of one kind as "key=value" lines, and back (for a restart).
    QStringList StateLines(TFailureKind AKind) const;
    void RestoreState(TFailureKind AKind, const QStringList& ALines);

private:
    struct TState {
        bool Failing = false;
        TDateTime Since = 0;
        TDateTime LastSent = 0;
        int FailedRuns = 0;
    };
    TState& State(TFailureKind AKind);
    const TState& State(TFailureKind AKind) const;

    TSender FSender;
    qint64 FRepeatMs;
    std::array<TState, FailureKindCount> FStates;
};

// The service's own error notices, sent to "erroremails" like the other
// notices (a failure of the mail is logged as a warning, not retried). The
// engine calls these at the points where a run fails or succeeds.
void ReportFailure(TFailureKind AKind, const QString& AError);
void ReportSuccess(TFailureKind AKind);
// A one-off notice to "erroremails" of a problem a run met and dealt with,
// such as a damaged ledger of sent invoices; sent like the others.
void NotifyProblem(const QString& ASubject, const QString& AText);

} // namespace uBrevoltRPro9ConnectorCommon
