#include "service/uBrevoltRPro9ConnectorCursor.h"

#include <algorithm>
#include <cmath>

namespace uBrevoltRPro9ConnectorLedger {

namespace {

using uOVUtils::WallClockText;

bool SameMoment(TDateTime A, TDateTime B) {
    return std::fabs(A - B) < 1.0 / 86400;
}

QString Minutes(TDateTime ADays) {
    return QString::number(std::llround(ADays * 1440));
}

// Why "lastquery" gives no cursor.
QString LastQueryProblem(const TCursorStart& AStart) {
    return AStart.LastQueryText.isEmpty()
               ? QStringLiteral("\"lastquery\" is missing from the configuration")
               : QStringLiteral("\"lastquery\" in the configuration cannot be read (\"%1\")")
                     .arg(AStart.LastQueryText);
}

} // namespace

void TRunCursor::Say(const QString& AText, bool AWarning, const QString& ANotice) {
    FNotes.append({AWarning, AText, ANotice});
}

TRunCursor::TRunCursor(TCursorStart AStart)
    : FLedger(std::move(AStart.Ledger)), FDatabaseNow(AStart.DatabaseNow) {
    const TDateTime lookBack = AStart.LookBackMinutes / 1440.0;
    const TDateTime dbNow = AStart.DatabaseNow;
    // "lastquery" as the database's clock would show it: the same zone.
    const TDateTime lastQuery = AStart.LastQuery;
    FCursor = lastQuery;

    // Where a location without a mark starts, and whether every location
    // starts right there, without the look-back.
    TDateTime start = lastQuery;
    bool fromStart = true;
    if (FLedger.State == TLedgerState::Valid) {
        fromStart = false;
        FCursor = FLedger.Cursor;
        start = FLedger.DatabaseNow > 0 ? FLedger.DatabaseNow : FLedger.Cursor;
        if (!AStart.LastQueryFromFile) {
            Say(LastQueryProblem(AStart) +
                QStringLiteral("; using the cursor of the ledger of sent invoices instead: ") +
                CursorText(FCursor) + QStringLiteral(" (UTC)"));
        } else if (!SameMoment(lastQuery, FLedger.Cursor) &&
                   !SameMoment(lastQuery, FLedger.Previous)) {
            // Changed in the utility or by hand: back sends again what was
            // created after it, forward skips what was not sent before it.
            // The ledger is saved before "lastquery", which may lag one
            // upload behind: "previous" is no change.
            FCursor = lastQuery;
            start = lastQuery;
            fromStart = true;
            const QString moved = QStringLiteral("\"lastquery\" was moved from ") +
                                  CursorText(FLedger.Cursor) + QStringLiteral(" to ") +
                                  CursorText(lastQuery) + QStringLiteral(" (UTC)");
            if (lastQuery < FLedger.Cursor) {
                FLedger.ForgetAfter(lastQuery);
                Say(moved + QStringLiteral(": the invoices created after ") +
                        WallClockText(lastQuery) + QStringLiteral(" are sent again"),
                    false);
            } else {
                Say(moved + QStringLiteral(": invoices created before ") +
                    WallClockText(lastQuery) +
                    QStringLiteral(" that were not sent yet are skipped"));
            }
        }
    } else {
        const bool damaged = FLedger.State == TLedgerState::Damaged;
        const QString problem = QStringLiteral("The ledger of sent invoices \"") +
                                AStart.LedgerName + QStringLiteral("\" ") +
                                (damaged ? FLedger.Problem : QStringLiteral("is missing"));
        FLedger = TSentLedger();
        // Without "lastquery" there was no upload yet, and no ledger either.
        if (damaged || (AStart.LastQueryFromFile && AStart.LedgerExpected)) {
            Say(problem + QStringLiteral("; reading the invoices created after \"lastquery\" (") +
                    WallClockText(lastQuery) +
                    QStringLiteral(") without the look-back, so that none is sent twice: "
                                   "invoices created before it that become visible only now "
                                   "are not sent"),
                true,
                damaged ? QStringLiteral("Brevolt service: ledger of sent invoices damaged")
                        : QStringLiteral("Brevolt service: ledger of sent invoices missing"));
        } else if (!AStart.LastQueryFromFile) {
            Say(LastQueryProblem(AStart) +
                QStringLiteral(" and there is no ledger of sent invoices to take the cursor "
                               "from; using ") +
                CursorText(lastQuery) + QStringLiteral(" (UTC)"));
        }
    }

    // The database's clock seen to go back since the last upload (a zone
    // corrected westward, a clock set back): its new invoices carry times
    // before those already read, so every read reaches back as much further.
    TDateTime widen = 0;
    if (!fromStart && FLedger.DatabaseNow > 0 && dbNow > 0 &&
        dbNow < FLedger.DatabaseNow - 1.0 / 1440) {
        widen = FLedger.DatabaseNow - dbNow;
        Say(QStringLiteral("The database's clock went back by ") + Minutes(widen) +
            QStringLiteral(" minutes since the last upload (from ") +
            WallClockText(FLedger.DatabaseNow) + QStringLiteral(" to ") + WallClockText(dbNow) +
            QStringLiteral("); reading as much further back"));
    }
    const TDateTime retainAfter = dbNow > 0 ? dbNow - lookBack - RetainDays : 0;
    for (const QString& name : AStart.Locations) {
        if (FLocations.contains(name))
            continue;
        TLocationRead read;
        if (!fromStart && FLedger.Locations.contains(name))
            read.Mark = FLedger.Locations.value(name);
        else if (!fromStart && FLedger.Legacy)
            read.Mark = {FLedger.Cursor, FLedger.LegacyFrom};
        else // a store not scanned before: covered as if it had been
            read.Mark = {start, fromStart ? start : start - lookBack - RetainDays};
        if (fromStart) {
            read.Mark.Mark = std::max(read.Mark.Mark, start);
            read.Mark.From = std::max(read.Mark.From, start);
        }
        // Never after the database's own now: a mark ahead of it would skip
        // what the point of sale writes until its clock catches up.
        if (dbNow > 0 && read.Mark.Mark > dbNow)
            read.Mark.Mark = dbNow;
        const TDateTime wanted = read.Mark.Mark - (fromStart ? 0 : lookBack) - widen;
        read.Since = std::max(wanted, read.Mark.From);
        if (wanted < read.Mark.From - 1.0 / 86400 && !fromStart &&
            (widen > 0 || read.Mark.Mark < FLedger.Locations.value(name).Mark))
            Say(QStringLiteral("Location ") + name + QStringLiteral(": invoices created between ") +
                WallClockText(wanted) + QStringLiteral(" and ") + WallClockText(read.Mark.From) +
                QStringLiteral(" cannot be told from those sent before, which the ledger no "
                               "longer holds, and are not read"));
        read.KeepAfter = std::max(read.Mark.From, retainAfter);
        read.Newest = read.Mark.Mark;
        FLocations.insert(name, read);
    }
}

TDateTime TRunCursor::Since(const QString& ALocation) const {
    return FLocations.value(ALocation).Since;
}

TDateTime TRunCursor::Mark(const QString& ALocation) const {
    return FLocations.value(ALocation).Mark.Mark;
}

void TRunCursor::Read(const QString& ALocation, TDateTime ACreated) {
    TLocationRead& read = FLocations[ALocation];
    read.Newest = std::max(read.Newest, ACreated);
}

void TRunCursor::Written(const QString& ALocation, QStringView ASid, TDateTime ACreated) {
    // Only what later runs read again needs remembering.
    if (!ASid.isEmpty() && ACreated > FLocations.value(ALocation).KeepAfter)
        FLedger.Add(ASid, ACreated, ALocation);
}

TSentLedger TRunCursor::Next(TDateTime ARunStart) {
    TSentLedger next = std::move(FLedger);
    FLedger = TSentLedger();
    next.State = TLedgerState::Valid;
    next.Legacy = false;
    next.Previous = FCursor;
    next.Cursor = ARunStart;
    next.DatabaseNow = FDatabaseNow;
    next.Locations.clear();
    for (auto it = FLocations.cbegin(); it != FLocations.cend(); ++it) {
        TLocationMark mark = it->Mark;
        mark.Mark =
            std::max(mark.Mark, FDatabaseNow > 0 ? std::min(it->Newest, FDatabaseNow) : it->Newest);
        mark.From = it->KeepAfter;
        next.Locations.insert(it.key(), mark);
    }
    next.Prune();
    return next;
}

} // namespace uBrevoltRPro9ConnectorLedger
