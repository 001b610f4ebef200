#include "service/uBrevoltRPro9ConnectorLedger.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <vector>

namespace uBrevoltRPro9ConnectorLedger {

namespace {

constexpr int FormatVersion = 2;
// Of the MD5's hex digits, the trailer keeps this many: enough to tell a
// changed file, short enough to read.
constexpr int TrailerDigits = 16;

bool ParseCursor(const QString& AText, TDateTime& AValue) {
    TDateTime utc = 0;
    if (!uOVUtils::ParseWallClockText(AText, utc))
        return false;
    AValue = uOVUtils::UTCToLocal(utc);
    return true;
}

// A SID of digits only that fits, as a number; 0 otherwise (no SID is 0).
quint64 SidNumber(QStringView ASid) {
    if (ASid.isEmpty() || ASid.size() > 19 || ASid.front() == u'0')
        return 0;
    quint64 value = 0;
    for (const QChar c : ASid) {
        if (c < u'0' || c > u'9')
            return 0;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

QByteArray Digest(const QByteArray& ABytes) {
    return QCryptographicHash::hash(ABytes, QCryptographicHash::Md5).toHex().left(TrailerDigits);
}

// uOVUtils::WallClockText as bytes, without a QString per value.
void AppendWallClock(QByteArray& AText, TDateTime AValue) {
    static const QDate epoch(1899, 12, 30);
    const qint64 ms = std::llround(AValue * 86400000.0);
    const qint64 day = ms >= 0 ? ms / 86400000 : -((-ms + 86400000 - 1) / 86400000);
    const qint64 inDay = ms - day * 86400000;
    const QDate date = epoch.addDays(day);
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                                date.year(), date.month(), date.day(), int(inDay / 3600000),
                                int(inDay / 60000 % 60), int(inDay / 1000 % 60), int(inDay % 1000));
    AText.append(buffer, n);
}

TSentLedger Damaged(const QString& AProblem) {
    TSentLedger ledger;
    ledger.State = TLedgerState::Damaged;
    ledger.Problem = AProblem;
    return ledger;
}

} // namespace

QString LedgerFilePath() {
    return uOVUtils::JoinPath({uOVUtils::ExeDir(), LedgerFileName});
}

QString PendingFilePath() {
    return uOVUtils::JoinPath({uOVUtils::ExeDir(), PendingFileName});
}

QString CursorText(TDateTime ALocal) {
    return uOVUtils::WallClockText(uOVUtils::LocalToUTC(ALocal));
}

bool FileDigest(const QString& APath, qint64& ASize, QByteArray& AHash) {
    QFile file(APath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file))
        return false;
    ASize = file.size();
    AHash = hash.result().toHex();
    return true;
}

TSentLedger TSentLedger::Load(const QString& APath) {
    const QFileInfo info(APath);
    if (!info.exists())
        return TSentLedger();
    if (!info.isFile())
        return Damaged(QStringLiteral("is not a file"));
    QByteArray bytes;
    QString error;
    if (!uBrevoltRPro9ConnectorCommon::ReadReplacedFile(APath, bytes, error))
        return Damaged(QStringLiteral("cannot be read: ") + error);
    return Parse(bytes);
}

TSentLedger TSentLedger::Parse(const QByteArray& AText) {
    if (AText.trimmed().isEmpty())
        return Damaged(QStringLiteral("is empty"));
    TSentLedger ledger;
    ledger.State = TLedgerState::Valid;
    ledger.Legacy = !AText.startsWith("version=");
    bool hasCursor = false;
    bool hasEnd = false;
    qsizetype sentLines = 0;
    qsizetype lineStart = 0;
    int lineNumber = 0;
    while (lineStart < AText.size()) {
        qsizetype lineEnd = AText.indexOf('\n', lineStart);
        if (lineEnd < 0)
            lineEnd = AText.size();
        const QString line =
            QString::fromLatin1(AText.mid(lineStart, lineEnd - lineStart)).trimmed();
        const qsizetype start = lineStart;
        lineStart = lineEnd + 1;
        ++lineNumber;
        if (line.isEmpty())
            continue;
        if (hasEnd)
            return Damaged(QStringLiteral("goes on after its last line"));
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString key = line.left(eq);
        const QString value = eq < 0 ? QString() : line.mid(eq + 1);
        const QStringList parts = value.split(QLatin1Char(' '));
        // Times are two words: "yyyy-mm-dd" and "hh:nn:ss.zzz".
        auto timeAt = [&parts](int AIndex, TDateTime& AValue) {
            return parts.size() > AIndex + 1 &&
                   uOVUtils::ParseWallClockText(
                       parts[AIndex] + QLatin1Char(' ') + parts[AIndex + 1], AValue);
        };
        bool ok = false;
        if (key == QLatin1String("version")) {
            ok = lineNumber == 1;
            if (ok && value.toInt() != FormatVersion)
                return Damaged(QStringLiteral("was written in a layout this version does not "
                                              "know (version ") +
                               value + QLatin1Char(')'));
        } else if (key == QLatin1String("cursor")) {
            ok = hasCursor = ParseCursor(value, ledger.Cursor);
        } else if (key == QLatin1String("previous")) {
            ok = ParseCursor(value, ledger.Previous);
        } else if (key == QLatin1String("dbnow")) {
            ok = uOVUtils::ParseWallClockText(value, ledger.DatabaseNow);
        } else if (key == QLatin1String("from") && ledger.Legacy) {
            ok = uOVUtils::ParseWallClockText(value, ledger.LegacyFrom);
        } else if (key == QLatin1String("location") && !ledger.Legacy) {
            TLocationMark mark;
            ok = parts.size() == 5 && !parts[0].isEmpty() && timeAt(1, mark.Mark) &&
                 timeAt(3, mark.From);
            if (ok)
                ledger.Locations.insert(parts[0], mark);
        } else if (key == QLatin1String("batch") && !ledger.Legacy) {
            bool size = false;
            ok = parts.size() == 3 && !parts[0].isEmpty();
            if (ok) {
                ledger.BatchName = parts[0];
                ledger.BatchSize = parts[1].toLongLong(&size);
                ledger.BatchHash = parts[2].toLatin1();
                ok = size;
            }
        } else if (key == QLatin1String("sent")) {
            TDateTime created = 0;
            ok = parts.size() == (ledger.Legacy ? 3 : 4) && !parts[0].isEmpty() &&
                 timeAt(1, created);
            if (ok)
                ledger.Add(parts[0], created, ledger.Legacy ? QString() : parts[3]);
            ++sentLines;
        } else if (key == QLatin1String("end") && !ledger.Legacy) {
            hasEnd = true;
            ok = parts.size() == 2;
            if (ok && parts[0].toLongLong() != sentLines)
                return Damaged(QStringLiteral("holds %1 invoices where its last line counts %2")
                                   .arg(sentLines)
                                   .arg(parts[0]));
            if (ok && Digest(AText.left(start)) != parts[1].toLatin1())
                return Damaged(QStringLiteral("was changed after it was written"));
        }
        if (!ok)
            return Damaged(QStringLiteral("cannot be read at line %1 (\"%2\")")
                               .arg(lineNumber)
                               .arg(line.left(80)));
    }
    if (!ledger.Legacy && !hasEnd)
        return Damaged(QStringLiteral("ends before its last line: it was cut short"));
    if (!hasCursor)
        return Damaged(QStringLiteral("holds no cursor"));
    return ledger;
}

void TSentLedger::Save(const QString& APath) const {
    uBrevoltRPro9ConnectorCommon::ReplaceFile(APath, Text());
}

QByteArray TSentLedger::Text() const {
    QByteArray text = "version=" + QByteArray::number(FormatVersion) + "\r\n";
    auto line = [&text](const char* AKey, const QString& AValue) {
        text += AKey;
        text += '=';
        text += AValue.toLatin1();
        text += "\r\n";
    };
    if (!BatchName.isEmpty())
        line("batch", BatchName + QLatin1Char(' ') + QString::number(BatchSize) + QLatin1Char(' ') +
                          QString::fromLatin1(BatchHash));
    line("cursor", CursorText(Cursor));
    line("previous", CursorText(Previous));
    if (DatabaseNow > 0)
        line("dbnow", uOVUtils::WallClockText(DatabaseNow));
    for (auto it = Locations.cbegin(); it != Locations.cend(); ++it)
        line("location", it.key() + QLatin1Char(' ') + uOVUtils::WallClockText(it->Mark) +
                             QLatin1Char(' ') + uOVUtils::WallClockText(it->From));
    // Oldest first, so that the file reads as the window it covers. Built
    // straight into the text: a busy store's day is many thousand lines.
    struct TLine {
        TDateTime Created;
        quint64 Number;
        const QString* Text;
        int Location;
    };
    std::vector<TLine> sent;
    sent.reserve(size_t(Count()));
    for (auto it = FNumbers.cbegin(); it != FNumbers.cend(); ++it)
        sent.push_back({it->Created, it.key(), nullptr, it->Location});
    for (auto it = FTexts.cbegin(); it != FTexts.cend(); ++it)
        sent.push_back({it->Created, 0, &it.key(), it->Location});
    std::sort(sent.begin(), sent.end(), [](const TLine& A, const TLine& B) {
        if (A.Created != B.Created)
            return A.Created < B.Created;
        if (A.Number != B.Number)
            return A.Number < B.Number;
        return A.Text && B.Text && *A.Text < *B.Text;
    });
    QList<QByteArray> locations;
    for (const QString& name : FLocationNames)
        locations.append(name.toLatin1());
    text.reserve(text.size() + qsizetype(sent.size()) * 56);
    for (const TLine& entry : sent) {
        text += "sent=";
        if (entry.Text)
            text += entry.Text->toLatin1();
        else
            text += QByteArray::number(entry.Number);
        text += ' ';
        AppendWallClock(text, entry.Created);
        text += ' ';
        text += locations.value(entry.Location);
        text += "\r\n";
    }
    text += "end=" + QByteArray::number(sent.size()) + ' ' + Digest(text) + "\r\n";
    return text;
}

int TSentLedger::LocationIndex(const QString& ALocation) {
    const qsizetype at = FLocationNames.indexOf(ALocation);
    if (at >= 0)
        return int(at);
    FLocationNames.append(ALocation);
    return int(FLocationNames.size() - 1);
}

template <typename P> void TSentLedger::RemoveSentIf(P APredicate) {
    FNumbers.removeIf([&](const auto& AEntry) { return APredicate(AEntry.value()); });
    FTexts.removeIf([&](const auto& AEntry) { return APredicate(AEntry.value()); });
}

bool TSentLedger::Contains(QStringView ASid) const {
    if (const quint64 number = SidNumber(ASid))
        return FNumbers.contains(number);
    return FTexts.contains(ASid.toString());
}

void TSentLedger::Add(QStringView ASid, TDateTime ACreated, const QString& ALocation) {
    const TSent entry{ACreated, LocationIndex(ALocation)};
    if (const quint64 number = SidNumber(ASid))
        FNumbers.insert(number, entry);
    else
        FTexts.insert(ASid.toString(), entry);
}

void TSentLedger::ForgetAfter(TDateTime AAfter) {
    RemoveSentIf([AAfter](const TSent& AEntry) { return AEntry.Created > AAfter; });
}

void TSentLedger::Prune() {
    // Per location index: the From its invoices are kept after; a location
    // no longer scanned keeps none. A first-version entry has no location.
    QList<TDateTime> from(FLocationNames.size(), 0);
    QList<bool> kept(FLocationNames.size(), false);
    TDateTime earliest = 0;
    for (auto it = Locations.cbegin(); it != Locations.cend(); ++it) {
        if (earliest <= 0 || it->From < earliest)
            earliest = it->From;
        const qsizetype at = FLocationNames.indexOf(it.key());
        if (at >= 0) {
            from[at] = it->From;
            kept[at] = true;
        }
    }
    if (const qsizetype any = FLocationNames.indexOf(QString()); any >= 0) {
        from[any] = earliest;
        kept[any] = earliest > 0;
    }
    RemoveSentIf([&](const TSent& AEntry) {
        return !kept[AEntry.Location] || AEntry.Created <= from[AEntry.Location];
    });
}

bool TSidSet::Insert(QStringView ASid) {
    if (const quint64 number = SidNumber(ASid))
        return InsertNumber(number);
    const qsizetype before = FTexts.size();
    FTexts.insert(ASid.toString());
    return FTexts.size() != before;
}

bool TSidSet::InsertNumber(quint64 ANumber) {
    // Linear probing, grown at three quarters full.
    if (4 * (FNumbers + 1) > 3 * qsizetype(FSlots.size())) {
        std::vector<quint64> old(std::max<size_t>(1024, 2 * FSlots.size()), 0);
        old.swap(FSlots);
        FNumbers = 0;
        for (const quint64 number : old)
            if (number)
                InsertNumber(number);
    }
    const size_t mask = FSlots.size() - 1;
    for (size_t at = (ANumber * 0x9E3779B97F4A7C15ull) >> 20 & mask;; at = (at + 1) & mask) {
        if (FSlots[at] == ANumber)
            return false;
        if (FSlots[at] == 0) {
            FSlots[at] = ANumber;
            ++FNumbers;
            return true;
        }
    }
}

} // namespace uBrevoltRPro9ConnectorLedger
