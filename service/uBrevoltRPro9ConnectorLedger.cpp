#include "service/uBrevoltRPro9ConnectorLedger.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVLogging.h"

#include <algorithm>
#include <cmath>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>

namespace uBrevoltRPro9ConnectorLedger {

namespace {

const QString AreaLedger = QStringLiteral("TSentLedger");
constexpr double MSecsPerDay = 86400000.0;
const QDate Epoch(1899, 12, 30);

// Calendar day and clock time of a day value, without any zone: the
// database's times are wall-clock times, and a local time in the gap of a
// daylight-saving change must come back as written.
void Split(TDateTime AValue, QDate& ADate, QTime& ATime) {
    const qint64 total = std::llround(AValue * MSecsPerDay);
    const qint64 perDay = static_cast<qint64>(MSecsPerDay);
    const qint64 day = total >= 0 ? total / perDay : -((-total + perDay - 1) / perDay);
    ADate = Epoch.addDays(day);
    ATime = QTime::fromMSecsSinceStartOfDay(static_cast<int>(total - day * perDay));
}

TDateTime Compose(const QDate& ADate, const QTime& ATime) {
    return Epoch.daysTo(ADate) + ATime.msecsSinceStartOfDay() / MSecsPerDay;
}

QString FixedText(TDateTime AValue) {
    QDate d;
    QTime t;
    Split(AValue, d, t);
    return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d.%03d", d.year(), d.month(), d.day(),
                             t.hour(), t.minute(), t.second(), t.msec());
}

bool ParseFixed(const QString& AText, TDateTime& AValue) {
    static const QRegularExpression layout(
        QStringLiteral(R"(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3})$)"));
    const QRegularExpressionMatch m = layout.match(AText.trimmed());
    if (!m.hasMatch())
        return false;
    const QDate d(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime t(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(),
                  m.captured(7).toInt());
    if (!d.isValid() || !t.isValid())
        return false;
    AValue = Compose(d, t);
    return true;
}

bool ParseCursor(const QString& AText, TDateTime& AValue) {
    TDateTime utc = 0;
    if (!ParseFixed(AText, utc))
        return false;
    AValue = uOVUtils::UTCToLocal(utc);
    return true;
}

void Warn(const QString& AText) {
    uOVLogging::log(0, AText, uOVLogging::LOG_WARNING, AreaLedger);
}

} // namespace

QString LedgerFilePath() {
    return uOVUtils::JoinPath({uOVUtils::ExeDir(), LedgerFileName});
}

QString CursorText(TDateTime ALocal) {
    return FixedText(uOVUtils::LocalToUTC(ALocal));
}

QString TimeText(TDateTime AValue) {
    return FixedText(AValue);
}

TSentLedger TSentLedger::Load(const QString& APath) {
    TSentLedger ledger;
    if (!QFileInfo::exists(APath))
        return ledger;
    const QString shown = QDir::toNativeSeparators(APath);
    QFile file(APath);
    if (!file.open(QIODevice::ReadOnly)) {
        Warn(QStringLiteral("The ledger of sent invoices \"%1\" cannot be read: %2")
                 .arg(shown, file.errorString()));
        return ledger;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    bool hasCursor = false;
    bool hasFrom = false;
    int unreadable = 0;
    for (const QByteArray& raw : lines) {
        const QString line = QString::fromLatin1(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString key = line.left(eq);
        const QString value = eq < 0 ? QString() : line.mid(eq + 1);
        bool ok = false;
        if (key == QLatin1String("cursor")) {
            ok = hasCursor = ParseCursor(value, ledger.FCursor);
        } else if (key == QLatin1String("previous")) {
            ok = ParseCursor(value, ledger.FPrevious);
        } else if (key == QLatin1String("from")) {
            ok = hasFrom = ParseFixed(value, ledger.FFrom);
        } else if (key == QLatin1String("sent")) {
            const qsizetype blank = value.indexOf(QLatin1Char(' '));
            TDateTime created = 0;
            ok = blank > 0 && ParseFixed(value.mid(blank + 1), created);
            if (ok)
                ledger.FSent.insert(value.left(blank), created);
        }
        if (!ok)
            ++unreadable;
    }
    if (!hasCursor || !hasFrom) {
        Warn(QStringLiteral("The ledger of sent invoices \"%1\" holds no readable cursor; it is "
                            "not used")
                 .arg(shown));
        return TSentLedger();
    }
    if (unreadable > 0)
        Warn(QStringLiteral("The ledger of sent invoices \"%1\": %2 unreadable lines skipped")
                 .arg(shown)
                 .arg(unreadable));
    ledger.FHasCursor = true;
    return ledger;
}

void TSentLedger::Save(const QString& APath) const {
    uBrevoltRPro9ConnectorCommon::ReplaceFile(APath, Text());
}

void TSentLedger::Advance(TDateTime APrevious, TDateTime ACursor, TDateTime AFrom) {
    FHasCursor = true;
    FPrevious = APrevious;
    FCursor = ACursor;
    FFrom = AFrom;
    FSent.removeIf([AFrom](const auto& AEntry) { return AEntry.value() <= AFrom; });
}

QByteArray TSentLedger::Text() const {
    // Oldest first, so that the file reads as the window it covers.
    QList<std::pair<TDateTime, QString>> sent;
    sent.reserve(FSent.size());
    for (auto it = FSent.cbegin(); it != FSent.cend(); ++it)
        sent.append({it.value(), it.key()});
    std::sort(sent.begin(), sent.end());
    QString text = QStringLiteral("cursor=") + CursorText(FCursor) + QStringLiteral("\r\n") +
                   QStringLiteral("previous=") + CursorText(FPrevious) + QStringLiteral("\r\n") +
                   QStringLiteral("from=") + FixedText(FFrom) + QStringLiteral("\r\n");
    for (const auto& [created, sid] : sent)
        text += QStringLiteral("sent=") + sid + QLatin1Char(' ') + FixedText(created) +
                QStringLiteral("\r\n");
    return text.toLatin1();
}

} // namespace uBrevoltRPro9ConnectorLedger
