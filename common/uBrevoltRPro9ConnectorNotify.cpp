// Service event notices, sent through the mail sender with the SMTP settings.
#include "common/uBrevoltRPro9ConnectorNotify.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVNet.h"

namespace uBrevoltRPro9ConnectorCommon {

void SendNotification(const QString& ARecipients, const QString& ASubject,
                      const QStringList& ABody) {
    const TConnectorConfig& config = Config();
    // Notices need a mail server with a log-in; anything missing means the
    // administrator has not set them up, which is no reason to log.
    if (!config.notifications || ARecipients.isEmpty() || config.smtpserver.isEmpty() ||
        config.smtpusername.isEmpty() || config.smtppassword.isEmpty() || config.smtpfrom.isEmpty())
        return;
    uOVNet::SendMail(config.smtpserver, config.smtpport, config.smtpusessltls, config.smtpusername,
                     config.smtppassword, config.smtpfrom, QStringLiteral("Brevolt Service"),
                     ARecipients, ASubject, ABody);
}

TServiceNotice ServiceNotice(TServiceEvent AEvent) {
    switch (AEvent) {
    case TServiceEvent::Startup:
        return {QStringLiteral("Brevolt service started"),
                QStringLiteral("The Brevolt service was started")};
    case TServiceEvent::Shutdown:
        return {QStringLiteral("Brevolt service stopped"),
                QStringLiteral("The Brevolt service was stopped")};
    case TServiceEvent::DailyHealth:
        break;
    }
    return {QStringLiteral("Brevolt service health check"),
            QStringLiteral("It's after 8am and the Brevolt service is still running")};
}

QString ServiceNoticeRecipients(TServiceEvent AEvent) {
    const TConnectorConfig& config = Config();
    switch (AEvent) {
    case TServiceEvent::Startup:
        return config.startupemails;
    case TServiceEvent::Shutdown:
        return config.shutdownemails;
    case TServiceEvent::DailyHealth:
        break;
    }
    return config.dailypingemails;
}

void NotifyServiceEvent(TServiceEvent AEvent) {
    const TServiceNotice notice = ServiceNotice(AEvent);
    try {
        SendNotification(ServiceNoticeRecipients(AEvent), notice.Subject, {notice.BodyLine});
    } catch (const std::exception& E) {
        if (AppLogger)
            AppLogger->warn(1,
                            QStringLiteral("Notification \"") + notice.Subject +
                                QStringLiteral("\" not sent: ") + ExceptionClassName(E) +
                                QStringLiteral(": ") + ExceptionMessage(E),
                            QStringLiteral("uBrevoltRPro9ConnectorCommon.NotifyServiceEvent"));
    } catch (...) {
    }
}

} // namespace uBrevoltRPro9ConnectorCommon
