#pragma once
// The cursor of one run: from the ledger of sent invoices, "lastquery" and
// the database's clock, where each location reads from; from what the run
// read, the ledger its upload commits. No files, no logging: the engine
// loads and saves, and says the notes.
//
//   TRunCursor cursor(start);                  // per location: Since()
//   ... cursor.Read(location, created) for every row,
//       cursor.Written(location, sid, created) for every line written ...
//   TSentLedger next = cursor.Next(runStart);  // the ledger after the upload
#include "service/uBrevoltRPro9ConnectorLedger.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace uBrevoltRPro9ConnectorLedger {

// What a run's cursor starts from.
struct TCursorStart {
    TSentLedger Ledger; // as loaded; its State tells whether it can be trusted
    // The configuration's "lastquery" (local time), whether the file held a
    // readable one, and its text as found.
    TDateTime LastQuery = 0;
    bool LastQueryFromFile = false;
    QString LastQueryText;
    int LookBackMinutes = 120;
    TDateTime DatabaseNow = 0; // the database's clock now; 0 unknown
    // A batch was filed before: a ledger missing now was lost, not yet made.
    bool LedgerExpected = false;
    // The ledger's file as named in the notes.
    QString LedgerName;
    // The location names (TdlgConnectorLogic::LocationName), each once.
    QStringList Locations;
};

// A line to be logged at level 0; with a subject, also a notice to the
// error list.
struct TCursorNote {
    bool Warning = true;
    QString Text;
    QString NoticeSubject;
};

class TRunCursor {
public:
    explicit TRunCursor(TCursorStart AStart);

    // The "lastquery" the run stands on (the ledger's unless it was moved).
    TDateTime Cursor() const { return FCursor; }
    const QList<TCursorNote>& Notes() const { return FNotes; }

    // Of a location of the start's list: the query's lower bound and its
    // mark (never after the database's now).
    TDateTime Since(const QString& ALocation) const;
    TDateTime Mark(const QString& ALocation) const;

    // During the scan: whether an earlier upload sent the invoice; every row
    // read (it shows the location's clock); every line written.
    bool SentBefore(QStringView ASid) const {
        return FLedger.Count() > 0 && FLedger.Contains(ASid);
    }
    void Read(const QString& ALocation, TDateTime ACreated);
    void Written(const QString& ALocation, QStringView ASid, TDateTime ACreated);
    qsizetype SentCount() const { return FLedger.Count(); }

    // The ledger once the batch is sent: marks raised to the newest invoice
    // read, cursor ARunStart, what the window no longer needs dropped. The
    // run's ledger is moved into it.
    TSentLedger Next(TDateTime ARunStart);

private:
    struct TLocationRead {
        TLocationMark Mark;      // capped at the database's now
        TDateTime Since = 0;     // the query's lower bound
        TDateTime KeepAfter = 0; // the ledger keeps what is after it
        TDateTime Newest = 0;    // newest created date read
    };
    void Say(const QString& AText, bool AWarning = true, const QString& ANotice = QString());

    TSentLedger FLedger;
    TDateTime FCursor = 0;
    TDateTime FDatabaseNow = 0;
    QMap<QString, TLocationRead> FLocations;
    QList<TCursorNote> FNotes;
};

} // namespace uBrevoltRPro9ConnectorLedger
