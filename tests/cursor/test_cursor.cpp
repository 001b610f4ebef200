// The run's cursor on its own: where each location reads from, what is said
// about it, and the ledger an upload commits; no database, no files.
#include "service/uBrevoltRPro9ConnectorCursor.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace uBrevoltRPro9ConnectorLedger;

namespace {

const QString Store = QStringLiteral("001.001");
const QString Other = QStringLiteral("001.002");
constexpr TDateTime Minute = 1.0 / 1440;
constexpr TDateTime Hour = 1.0 / 24;

// 5 June 2022 (or another day) at hh:mm on the database's clock.
TDateTime At(int AHour, int AMinute = 0, int ADay = 5) {
    return uOVUtils::WallClock(QDate(2022, 6, ADay), QTime(AHour, AMinute));
}

// A ledger of an upload at 14:00 whose store's newest invoice was AMark.
TSentLedger Ledger(TDateTime AMark, TDateTime ADatabaseNow = At(14)) {
    TSentLedger ledger;
    ledger.State = TLedgerState::Valid;
    ledger.Cursor = At(14);
    ledger.Previous = At(13);
    ledger.DatabaseNow = ADatabaseNow;
    ledger.Locations.insert(Store, {AMark, AMark - 2 * Hour - 1});
    return ledger;
}

TCursorStart Start(TSentLedger ALedger, TDateTime ADatabaseNow, TDateTime ALastQuery = At(14)) {
    TCursorStart start;
    start.Ledger = std::move(ALedger);
    start.LastQuery = ALastQuery;
    start.LastQueryFromFile = true;
    start.LookBackMinutes = 120;
    start.DatabaseNow = ADatabaseNow;
    start.LedgerExpected = true;
    start.LedgerName = QStringLiteral("the ledger");
    start.Locations = {Store, Other};
    return start;
}

TEST(RunCursor, WhereEachLocationReadsFrom) {
    TSentLedger legacy;
    legacy.State = TLedgerState::Valid;
    legacy.Legacy = true;
    legacy.Cursor = At(14);
    legacy.LegacyFrom = At(13);
    TSentLedger damaged;
    damaged.State = TLedgerState::Damaged;
    damaged.Problem = QStringLiteral("ends before its last line: it was cut short");
    struct TCase {
        const char* Name;
        TCursorStart Start;
        TDateTime Since;      // of the store
        TDateTime OtherSince; // of a store the ledger does not know
        const char* Said;     // in a note, or nothing said
        const char* Notice;   // its notice's subject
    };
    TCase cases[] = {
        {"marks from the invoices, the look-back before them", Start(Ledger(At(13, 50)), At(14, 5)),
         At(11, 50), At(12), nullptr, nullptr},
        {"a mark ahead of the database's now is brought back to it",
         Start(Ledger(At(15), At(13)), At(14, 30)), At(12, 30), At(11), nullptr, nullptr},
        {"the database's clock back five hours: read as much further back",
         Start(Ledger(At(14, 59), At(15)), At(10)), At(3), At(3),
         "The database's clock went back by 300 minutes since the last upload", nullptr},
        {"back more than the ledger covers: read from what it covers, and say so",
         Start(Ledger(At(14, 59), At(15)), At(15, 0, 4)), At(14, 59) - 2 * Hour - 1, At(13, 0, 4),
         "cannot be told from those sent before", nullptr},
        {"\"lastquery\" moved forward: from there, without the look-back",
         Start(Ledger(At(13, 50)), At(16, 5), At(16)), At(16), At(16),
         ": invoices created before 2022-06-05 16:00:00.000 that were not sent yet are skipped",
         nullptr},
        {"no ledger yet",
         [] {
             TCursorStart start = Start(TSentLedger(), At(14, 5));
             start.LedgerExpected = false;
             return start;
         }(),
         At(14), At(14), nullptr, nullptr},
        {"the ledger lost", Start(TSentLedger(), At(14, 5)), At(14), At(14),
         "The ledger of sent invoices \"the ledger\" is missing; reading the invoices created "
         "after \"lastquery\" (2022-06-05 14:00:00.000) without the look-back",
         "Brevolt service: ledger of sent invoices missing"},
        {"the ledger cut short", Start(damaged, At(14, 5)), At(14), At(14),
         "\"the ledger\" ends before its last line: it was cut short; reading",
         "Brevolt service: ledger of sent invoices damaged"},
        {"a ledger of the first layout: its cursor as every store's mark", Start(legacy, At(14, 5)),
         At(13), At(13), nullptr, nullptr},
    };
    for (TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const TRunCursor cursor(std::move(c.Start));
        EXPECT_NEAR(cursor.Since(Store), c.Since, 1e-9);
        EXPECT_NEAR(cursor.Since(Other), c.OtherSince, 1e-9);
        const QList<TCursorNote>& notes = cursor.Notes();
        if (!c.Said) {
            EXPECT_TRUE(notes.isEmpty()) << notes.value(0).Text.toStdString();
            continue;
        }
        const auto said = std::find_if(notes.begin(), notes.end(), [&](const TCursorNote& ANote) {
            return ANote.Text.contains(QString::fromUtf8(c.Said));
        });
        ASSERT_NE(said, notes.end()) << notes.value(0).Text.toStdString();
        EXPECT_TRUE(said->Warning);
        EXPECT_EQ(said->NoticeSubject, QString::fromUtf8(c.Notice ? c.Notice : ""));
    }
}

TEST(RunCursor, TheNextLedgerRaisesTheMarksAndKeepsADayBeyondTheLookBack) {
    TSentLedger ledger = Ledger(At(13, 50));
    ledger.Add(u"101", At(13, 50), Store);                    // read again, sent before
    ledger.Add(u"102", At(11, 0, 4), Store);                  // older than the day kept
    ledger.Add(u"201", At(13, 0), QStringLiteral("009.009")); // a store no longer listed
    TRunCursor cursor(Start(std::move(ledger), At(14, 30)));
    EXPECT_TRUE(cursor.SentBefore(u"101"));
    EXPECT_FALSE(cursor.SentBefore(u"103"));
    cursor.Read(Store, At(13, 50));
    cursor.Read(Store, At(14, 20));
    cursor.Written(Store, u"103", At(14, 20));
    // A point-of-sale clock ahead of the database's: noted, never a mark.
    cursor.Read(Other, At(18));
    cursor.Written(Other, u"X-7", At(18));

    const TSentLedger next = cursor.Next(At(14, 31));
    EXPECT_EQ(next.State, TLedgerState::Valid);
    EXPECT_NEAR(next.Cursor, At(14, 31), 1e-9);
    EXPECT_NEAR(next.Previous, At(14), 1e-9);
    EXPECT_NEAR(next.DatabaseNow, At(14, 30), 1e-9);
    ASSERT_EQ(next.Locations.keys(), (QList<QString>{Store, Other}));
    EXPECT_NEAR(next.Locations[Store].Mark, At(14, 20), 1e-9);
    EXPECT_NEAR(next.Locations[Other].Mark, At(14, 30), 1e-9);
    EXPECT_NEAR(next.Locations[Store].From, At(14, 30) - 2 * Hour - 1, 1e-9);
    for (const char16_t* sid : {u"101", u"103", u"X-7"})
        EXPECT_TRUE(next.Contains(sid)) << QString::fromUtf16(sid).toStdString();
    for (const char16_t* sid : {u"102", u"201"})
        EXPECT_FALSE(next.Contains(sid)) << QString::fromUtf16(sid).toStdString();
    // What the file holds reads back the same.
    const TSentLedger again = TSentLedger::Parse(next.Text());
    EXPECT_EQ(again.State, TLedgerState::Valid);
    EXPECT_EQ(again.Text(), next.Text());
}

TEST(RunCursor, LastQueryMovedBackSendsAgainWhatCameAfterIt) {
    TSentLedger ledger = Ledger(At(13, 50));
    ledger.Add(u"101", At(13, 0), Store);
    ledger.Add(u"102", At(13, 30), Store);
    const TRunCursor cursor(Start(std::move(ledger), At(14, 5), At(13, 15)));
    EXPECT_NEAR(cursor.Since(Store), At(13, 15), 1e-9);
    EXPECT_NEAR(cursor.Cursor(), At(13, 15), 1e-9);
    EXPECT_TRUE(cursor.SentBefore(u"101"));
    EXPECT_FALSE(cursor.SentBefore(u"102"));
    ASSERT_EQ(cursor.Notes().size(), 1);
    EXPECT_FALSE(cursor.Notes()[0].Warning);
    EXPECT_TRUE(cursor.Notes()[0].Text.endsWith(
        ": the invoices created after 2022-06-05 13:15:00.000 are sent again"));
    // One upload behind ("previous") is no move.
    const TRunCursor lagging(Start(Ledger(At(13, 50)), At(14, 5), At(13)));
    EXPECT_TRUE(lagging.Notes().isEmpty());
    EXPECT_NEAR(lagging.Cursor(), At(14), 1e-9);
}

} // namespace
