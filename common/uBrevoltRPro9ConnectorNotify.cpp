// Service event notices, sent through the mail sender with the SMTP settings.
#include "common/uBrevoltRPro9ConnectorNotify.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVLogging.h"
#include "common/uOVNet.h"

#include <algorithm>
#include <array>
#include <QFile>
#include <QSaveFile>

namespace uBrevoltRPro9ConnectorCommon {

uOVNet::TMailResult SendNotification(const QString& ARecipients, const QString& ASubject,
                                     const QStringList& ABody) {
    const TConnectorConfig& config = Config();
    // Notices need a mail server with a log-in; anything missing means the
    // administrator has not set them up, which is no reason to log.
    if (!config.notifications || ARecipients.isEmpty() || config.smtpserver.isEmpty() ||
        config.smtpusername.isEmpty() || config.smtppassword.isEmpty() || config.smtpfrom.isEmpty())
        return {};
    // A log folder that cannot be written is told here, since the log cannot.
    QStringList body = ABody;
    if (const QString problem = uOVLogging::TakeLogWriteProblem(); !problem.isEmpty())
        body << QString() << problem;
    return uOVNet::SendMail(config.smtpserver, config.smtpport, config.smtpusessltls,
                            config.smtpusername, config.smtppassword, config.smtpfrom,
                            QStringLiteral("Brevolt Service"), ARecipients, ASubject, body);
}

namespace {

// One row per service event, in the enum's order: the notice and the
// setting that holds its recipients.
struct TServiceEventRow {
    const char* Subject;
    const char* BodyLine;
    QString TConnectorConfig::*Recipients;
};
constexpr std::array<TServiceEventRow, ServiceEventCount> ServiceEvents{{
    {"Brevolt service started", "The Brevolt service was started",
     &TConnectorConfig::startupemails},
    {"Brevolt service stopped", "The Brevolt service was stopped",
     &TConnectorConfig::shutdownemails},
    {"Brevolt service health check", "It's after 8am and the Brevolt service is still running",
     &TConnectorConfig::dailypingemails},
}};
// A count raised without its row would leave that row empty.
static_assert(std::ranges::all_of(ServiceEvents, [](const TServiceEventRow& R) {
    return R.Subject && R.BodyLine && R.Recipients;
}));

// One row per kind of failure, in the enum's order: what its notices say
// when it starts and when it clears.
struct TFailureRow {
    const char* FailingSubject;
    const char* FailingLine;
    const char* ClearedSubject;
    const char* ClearedLine;
};
constexpr std::array<TFailureRow, FailureKindCount> FailureKinds{{
    {"Brevolt service: database unreadable", "The Brevolt service cannot read the database.",
     "Brevolt service: database readable again", "The Brevolt service reads the database again."},
    {"Brevolt service: upload failing", "The Brevolt service cannot upload its batch files.",
     "Brevolt service: upload working again", "The Brevolt service uploads its batch files again."},
}};
static_assert(std::ranges::all_of(FailureKinds, [](const TFailureRow& R) {
    return R.FailingSubject && R.FailingLine && R.ClearedSubject && R.ClearedLine;
}));

} // namespace

TServiceNotice ServiceNotice(TServiceEvent AEvent) {
    const TServiceEventRow& row = ServiceEvents[size_t(AEvent)];
    return {QString::fromLatin1(row.Subject), QString::fromLatin1(row.BodyLine)};
}

QString ServiceNoticeRecipients(TServiceEvent AEvent) {
    return Config().*(ServiceEvents[size_t(AEvent)].Recipients);
}

namespace {

const QString NoticeArea = QStringLiteral("uBrevoltRPro9ConnectorCommon.NotifyServiceEvent");

// A notice is side work: a mail error becomes a warning in the log, and so
// does each recipient it did not reach.
void SendLogged(const QString& ARecipients, const QString& ASubject, const QStringList& ABody) {
    const QString notice = QStringLiteral("Notification \"") + ASubject + QLatin1Char('"');
    QStringList warnings;
    try {
        const uOVNet::TMailResult result = SendNotification(ARecipients, ASubject, ABody);
        for (const QString& entry : result.Invalid)
            warnings << notice + QStringLiteral(": the recipient \"") + entry +
                            QStringLiteral("\" is not a mail address and was skipped");
        for (const QString& refused : result.Refused)
            warnings << notice + QStringLiteral(" not delivered to ") + refused;
    } catch (const std::exception& E) {
        warnings << notice + QStringLiteral(" not sent: ") + ExceptionClassName(E) +
                        QStringLiteral(": ") + ExceptionMessage(E);
    } catch (...) {
    }
    if (AppLogger)
        for (const QString& warning : warnings)
            AppLogger->warn(1, warning, NoticeArea);
}

QString RestartMarkerPath() {
    return uOVUtils::JoinPath({uOVUtils::ExeDir(), RestartMarkerName});
}

QString NoticeTime(TDateTime AValue) {
    return uOVUtils::FormatDateTime(QStringLiteral("mm/dd/yyyy hh:nn:ss"), AValue);
}

// The recipients of both lists, each address once; entries that are not an
// address go last, to be warned about when the notice is sent.
QString JoinRecipients(const QString& AFirst, const QString& ASecond) {
    QStringList addresses;
    QStringList entries;
    QStringList invalid;
    for (const QString& list : {AFirst, ASecond}) {
        const uOVNet::TAddressList parsed = uOVNet::ParseAddressList(list);
        for (const uOVNet::TMailAddress& a : parsed.Addresses) {
            if (addresses.contains(a.Address, Qt::CaseInsensitive))
                continue;
            addresses.append(a.Address);
            QString name = a.Name;
            name.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
                .replace(QLatin1Char('"'), QLatin1String("\\\""));
            entries.append(name.isEmpty() ? a.Address
                                          : QLatin1Char('"') + name + QStringLiteral("\" <") +
                                                a.Address + QLatin1Char('>'));
        }
        for (const QString& entry : parsed.Invalid)
            if (!invalid.contains(entry))
                invalid.append(entry);
    }
    return (entries + invalid).join(QStringLiteral(", "));
}

} // namespace

void NotifyServiceEvent(TServiceEvent AEvent) {
    const TServiceNotice notice = ServiceNotice(AEvent);
    QString recipients = ServiceNoticeRecipients(AEvent);
    QStringList body{notice.BodyLine};
    if (AEvent == TServiceEvent::Startup && TakeRestartMarker()) {
        body.append(
            QStringLiteral("It was restarted because a run found the database unreadable."));
        if (Config().notifyonstartup)
            recipients = JoinRecipients(recipients, Config().erroremails);
    }
    if (AEvent == TServiceEvent::Startup && SkipTransmit())
        body.append(SkipTransmitWarning + QLatin1Char('.'));
    SendLogged(recipients, notice.Subject, body);
}

static TFailureNotices& ServiceFailureNotices();

void MarkRestartForMissingData() {
    QSaveFile file(RestartMarkerPath());
    if (file.open(QIODevice::WriteOnly)) {
        const QStringList lines = QStringList{QStringLiteral("Restart for missing data at ") +
                                              NoticeTime(uOVUtils::Now())} +
                                  ServiceFailureNotices().StateLines(TFailureKind::Database);
        file.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
        file.commit();
    }
}

bool TakeRestartMarker() {
    QFile file(RestartMarkerPath());
    if (!file.exists())
        return false;
    if (file.open(QIODevice::ReadOnly)) {
        ServiceFailureNotices().RestoreState(
            TFailureKind::Database,
            QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts));
        file.close();
    }
    file.remove();
    return true;
}

QStringList TFailureNotices::StateLines(TFailureKind AKind) const {
    const TState& state = State(AKind);
    if (!state.Failing)
        return {};
    return {QStringLiteral("since=") + QString::number(state.Since, 'g', 17),
            QStringLiteral("lastsent=") + QString::number(state.LastSent, 'g', 17),
            QStringLiteral("failedruns=") + QString::number(state.FailedRuns)};
}

void TFailureNotices::RestoreState(TFailureKind AKind, const QStringList& ALines) {
    TState state;
    for (const QString& line : ALines) {
        const QString key = line.section(QLatin1Char('='), 0, 0);
        const QString value = line.section(QLatin1Char('='), 1);
        if (key == QLatin1String("since"))
            state.Since = value.toDouble();
        else if (key == QLatin1String("lastsent"))
            state.LastSent = value.toDouble();
        else if (key == QLatin1String("failedruns"))
            state.FailedRuns = value.toInt();
    }
    // Nothing usable: the next failure counts as the first.
    if (state.Since <= 0 || state.LastSent <= 0)
        return;
    state.Failing = true;
    State(AKind) = state;
}

TFailureNotices::TFailureNotices(TSender ASender, qint64 ARepeatMs)
    : FSender(std::move(ASender)), FRepeatMs(ARepeatMs) {}

TFailureNotices::TState& TFailureNotices::State(TFailureKind AKind) {
    return FStates[size_t(AKind)];
}

const TFailureNotices::TState& TFailureNotices::State(TFailureKind AKind) const {
    return FStates[size_t(AKind)];
}

bool TFailureNotices::Failing(TFailureKind AKind) const {
    return State(AKind).Failing;
}

void TFailureNotices::Failed(TFailureKind AKind, const QString& AError, TDateTime AWaitingSince) {
    TState& state = State(AKind);
    const TDateTime now = uOVUtils::Now();
    const bool first = !state.Failing;
    if (first) {
        state = TState();
        state.Failing = true;
        state.Since = now;
    }
    ++state.FailedRuns;
    // Reminders only every few hours: an outage must not fill the mailbox.
    if (!first && (now - state.LastSent) * 86400000.0 < static_cast<double>(FRepeatMs))
        return;
    state.LastSent = now;
    const TFailureRow& row = FailureKinds[size_t(AKind)];
    TFailureNotice notice;
    notice.Subject = QString::fromLatin1(row.FailingSubject);
    notice.Body.append(QString::fromLatin1(row.FailingLine));
    notice.Body.append(QStringLiteral("Error: ") + AError);
    notice.Body.append(QStringLiteral("Failing since: ") + NoticeTime(state.Since));
    notice.Body.append(QStringLiteral("Failed runs: ") + QString::number(state.FailedRuns));
    if (AWaitingSince > 0)
        notice.Body.append(QStringLiteral("Invoices since ") + NoticeTime(AWaitingSince) +
                           QStringLiteral(" wait to be sent."));
    notice.Body.append(QStringLiteral("While this lasts, a reminder follows at most every ") +
                       QString::number(FRepeatMs / 3600000.0) +
                       QStringLiteral(" hours; another notice follows when it clears."));
    if (FSender)
        FSender(notice);
}

void TFailureNotices::Succeeded(TFailureKind AKind) {
    TState& state = State(AKind);
    if (!state.Failing)
        return;
    const TState ended = state;
    state = TState();
    const TFailureRow& row = FailureKinds[size_t(AKind)];
    TFailureNotice notice;
    notice.Subject = QString::fromLatin1(row.ClearedSubject);
    notice.Body.append(QString::fromLatin1(row.ClearedLine));
    notice.Body.append(QStringLiteral("Failing since: ") + NoticeTime(ended.Since));
    notice.Body.append(QStringLiteral("Failed runs: ") + QString::number(ended.FailedRuns));
    if (FSender)
        FSender(notice);
}

static TFailureNotices& ServiceFailureNotices() {
    static TFailureNotices notices([](const TFailureNotice& ANotice) {
        SendLogged(Config().erroremails, ANotice.Subject, ANotice.Body);
    });
    return notices;
}

void ReportFailure(TFailureKind AKind, const QString& AError) {
    ServiceFailureNotices().Failed(AKind, AError, Config().lastquery);
}

void ReportSuccess(TFailureKind AKind) {
    ServiceFailureNotices().Succeeded(AKind);
}

void NotifyProblem(const QString& ASubject, const QString& AText) {
    SendLogged(Config().erroremails, ASubject, {AText});
}

} // namespace uBrevoltRPro9ConnectorCommon
