#pragma once
// The ledger of sent invoices, "Brevoltconnector.sent" beside the
// configuration: per location the newest invoice time read (the mark, in the
// database's own clock) and the invoices sent within the look-back before
// it. A run reads each location from its mark minus the look-back and skips
// what the ledger holds, so that an invoice that turns up late (a late
// commit, a point-of-sale clock behind, replication, the repeated hour when
// daylight saving ends, a clock set back) is still sent, and none twice.
//
// The file, plain ASCII, one "key=value" line each, CR LF:
//   version=2
//   cursor=2022-06-05 18:03:09.045      the "lastquery" it belongs to, UTC
//   previous=2022-06-05 18:02:09.045    the cursor before, UTC
//   dbnow=2022-06-05 14:03:08.000       the database's clock at that upload
//   location=001.001 2022-06-05 14:02:00.000 2022-06-04 12:02:00.000
//                                       mark, and the time after which the
//                                       ledger holds every invoice of the
//                                       location that was sent
//   sent=500001 2022-06-05 13:03:08.000 001.001
//                                       SID, created date, location
//   end=1 0f343b0931126a20              invoices, and the start of the MD5
//                                       of everything before this line
// Times but cursor and previous are the database's wall-clock readings.
// The last line lets a cut or changed file be told from a whole one.
//
// The upload's record, "Brevoltconnector.pending", is the ledger as it is to
// be after the upload, with one more line after "version":
//   batch=shopone_20220605140309045.csv 1234 <MD5 of the batch file>
// It is written before a batch is uploaded and becomes the ledger once the
// upload succeeded; a run that finds it sends that batch again first.
#include "common/uOVUtils.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <vector>

namespace uBrevoltRPro9ConnectorLedger {

inline const QString LedgerFileName = QStringLiteral("Brevoltconnector.sent");
inline const QString PendingFileName = QStringLiteral("Brevoltconnector.pending");

// ExeDir followed by the file name.
QString LedgerFilePath();
QString PendingFilePath();

// Beyond the look-back, the ledger keeps a location's invoices this long
// before its mark: reads reach that far back when the database's clock goes
// back (a time zone corrected westward, a clock set back).
constexpr double RetainDays = 1.0;

struct TLocationMark {
    TDateTime Mark = 0; // newest created date read, never after the database's now
    TDateTime From = 0; // every invoice sent that was created after it is held
};

enum class TLedgerState { Missing, Valid, Damaged };

class TSentLedger {
public:
    // The file at APath. State tells whether it was there and whole; when
    // damaged, Problem says how and nothing of it is used.
    static TSentLedger Load(const QString& APath);
    static TSentLedger Parse(const QByteArray& AText);
    // Replaces the file as the configuration is replaced (new file, rename,
    // mode and owner kept). Raises EInOutError.
    void Save(const QString& APath) const;
    QByteArray Text() const;

    TLedgerState State = TLedgerState::Missing;
    QString Problem;
    // Written by the first version of the ledger: one "from" for all
    // locations and no marks.
    bool Legacy = false;
    TDateTime LegacyFrom = 0;

    // Local times, as "lastquery" holds them; written in UTC.
    TDateTime Cursor = 0;
    TDateTime Previous = 0;
    TDateTime DatabaseNow = 0; // 0: unknown
    QMap<QString, TLocationMark> Locations;

    // Only in an upload's record: the batch file's name, size and MD5.
    QString BatchName;
    qint64 BatchSize = 0;
    QByteArray BatchHash;

    bool Contains(QStringView ASid) const;
    void Add(QStringView ASid, TDateTime ACreated, const QString& ALocation);
    qsizetype Count() const { return FNumbers.size() + FTexts.size(); }
    // Forgets the invoices created after AAfter (they are to be sent again).
    void ForgetAfter(TDateTime AAfter);
    // Keeps only the invoices of the locations in Locations created after
    // their From (those of a first-version ledger: after the earliest From).
    void Prune();

private:
    struct TSent {
        TDateTime Created = 0;
        int Location = 0; // index into FLocationNames
    };
    int LocationIndex(const QString& ALocation);
    template <typename P> void RemoveSentIf(P APredicate);

    // SIDs are numbers: kept as such they take a fraction of the memory of
    // texts. Anything else is kept as text.
    QHash<quint64, TSent> FNumbers;
    QHash<QString, TSent> FTexts;
    QStringList FLocationNames;
};

// A set of SIDs: numbers in one flat table (8 bytes a slot, as a store's
// whole backlog may pass through it), anything else as text.
class TSidSet {
public:
    // False when ASid was in the set already.
    bool Insert(QStringView ASid);

private:
    bool InsertNumber(quint64 ANumber);

    std::vector<quint64> FSlots; // 0: free; the size a power of two
    qsizetype FNumbers = 0;
    QSet<QString> FTexts;
};

// "yyyy-mm-dd hh:nn:ss.zzz" of a local time converted to UTC (a cursor, as
// in the ledger and the log).
QString CursorText(TDateTime ALocal);

// The MD5 of a file's bytes and its size; false when it cannot be read.
bool FileDigest(const QString& APath, qint64& ASize, QByteArray& AHash);

} // namespace uBrevoltRPro9ConnectorLedger
