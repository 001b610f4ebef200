#pragma once
// The ledger of sent invoices: the SIDs sent within the look-back window and
// the cursor they belong to, in "Brevoltconnector.sent" beside the
// configuration. A run reads the window before "lastquery" again and skips
// what the ledger holds, so that an invoice that turns up late (a late
// commit, a clock behind or set back, replication, the repeated hour when
// daylight saving ends) is still sent, and none is sent twice.
//
// The file, plain ASCII, one "key=value" line each, CR LF:
//   cursor=2022-06-05 18:03:09.045      the "lastquery" it belongs to, UTC
//   previous=2022-06-05 18:02:09.045    the cursor before, UTC
//   from=2022-06-05 12:03:09.045        the ledger holds every invoice sent
//                                       that was created after this
//   sent=500001 2022-06-05 13:03:08.000 SID and created date of one invoice
// "from" and the created dates are the database's own (local) time, as the
// query compares them.
#include "common/uOVUtils.h"

#include <QByteArray>
#include <QHash>
#include <QString>

namespace uBrevoltRPro9ConnectorLedger {

inline const QString LedgerFileName = QStringLiteral("Brevoltconnector.sent");

// ExeDir followed by LedgerFileName.
QString LedgerFilePath();

class TSentLedger {
public:
    // The file at APath. Without one, or when it cannot be read (logged at
    // level 0), the ledger is empty and HasCursor is false.
    static TSentLedger Load(const QString& APath);
    // Replaces the file as the configuration is replaced (new file, rename).
    // Raises EInOutError.
    void Save(const QString& APath) const;

    bool HasCursor() const { return FHasCursor; }
    TDateTime Cursor() const { return FCursor; }
    TDateTime Previous() const { return FPrevious; }
    TDateTime From() const { return FFrom; }

    bool Contains(const QString& ASid) const { return FSent.contains(ASid); }
    void Add(const QString& ASid, TDateTime ACreated) { FSent.insert(ASid, ACreated); }
    qsizetype Count() const { return FSent.size(); }

    // After a successful upload: the cursor moves from APrevious to ACursor,
    // and invoices created at or before AFrom are dropped, because no query
    // reads them again.
    void Advance(TDateTime APrevious, TDateTime ACursor, TDateTime AFrom);

    QByteArray Text() const;

private:
    bool FHasCursor = false;
    TDateTime FCursor = 0;
    TDateTime FPrevious = 0;
    TDateTime FFrom = 0;
    QHash<QString, TDateTime> FSent;
};

// "yyyy-mm-dd hh:nn:ss.zzz" whatever the regional settings: of a local time
// converted to UTC (a cursor, as in the ledger and the log), and of a time
// as it is (a database time).
QString CursorText(TDateTime ALocal);
QString TimeText(TDateTime AValue);

} // namespace uBrevoltRPro9ConnectorLedger
