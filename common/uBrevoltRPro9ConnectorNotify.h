#pragma once
// The service's three event notices (start-up, shutdown, daily health), each
// with its recipients setting, subject and body line.
#include <QString>

namespace uBrevoltRPro9ConnectorCommon {

enum class TServiceEvent { Startup, Shutdown, DailyHealth };

struct TServiceNotice {
    QString Subject;
    QString BodyLine;
};

TServiceNotice ServiceNotice(TServiceEvent AEvent);
// The configured recipients of the event's notice.
QString ServiceNoticeRecipients(TServiceEvent AEvent);

// Sends the event's notice through SendNotification. A notice is side work:
// an error of the mail sender is logged as a warning and goes no further.
void NotifyServiceEvent(TServiceEvent AEvent);

} // namespace uBrevoltRPro9ConnectorCommon
