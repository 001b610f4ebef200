// Rows kept in a temporary file come back as the rows kept in memory, and
// local date-times converted through the day cache come out as they do one
// by one, in the zone of the run (New York; Helsinki in the locale runs).
#include "DataAccessTestSupport.h"

#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVDataAccess.h"
#include "common/uOVRowSpool.h"

#include <QByteArray>
#include <QTimeZone>

using namespace uBrevoltRPro9ConnectorSQLs;

namespace {

QVector<QVariant> EveryKindOfValue() {
    return {QVariant(),
            QVariant(QMetaType::fromType<QString>()),
            QVariant(QMetaType::fromType<qlonglong>()),
            QVariant(QString()),
            QVariant(QStringLiteral("")),
            QVariant(QStringLiteral("Zoë O\"Brien, € 漢 \U0001F600\r\n")),
            QVariant(42),
            QVariant(qlonglong(-5000000000LL)),
            QVariant(uint(7)),
            QVariant(qulonglong(18446744073709551615ULL)),
            QVariant(true),
            QVariant(2.5),
            QVariant(QDateTime(QDate(2026, 3, 8), QTime(2, 30))),
            QVariant(QByteArray("\0\1x", 3)),
            QVariant(QStringLiteral("odd"))};
}

void ExpectSameValue(const QVariant& AActual, const QVariant& AExpected, int AColumn) {
    EXPECT_EQ(AActual.typeId(), AExpected.typeId()) << "column " << AColumn;
    EXPECT_EQ(AActual.isNull(), AExpected.isNull()) << "column " << AColumn;
    EXPECT_EQ(AActual, AExpected) << "column " << AColumn;
}

TEST(RowSpool, ReadsBackEveryKindOfValueAsOftenAsAsked) {
    const QVector<QVariant> row = EveryKindOfValue();
    // Rows enough to cross the chunks, and one larger than a chunk.
    const QVector<QVariant> large = {QVariant(QString(300000, QLatin1Char('x')))};
    constexpr int Rows = 5000;
    TRowSpool spool;
    for (int i = 0; i < Rows; ++i)
        spool.Append(i == Rows / 2 ? large : row);
    ASSERT_EQ(spool.Count(), Rows);
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        spool.Rewind();
        for (int i = 0; i < Rows; ++i) {
            ASSERT_TRUE(spool.Next()) << i;
            const QVector<QVariant>& expected = i == Rows / 2 ? large : row;
            ASSERT_EQ(spool.Columns(), expected.size());
            if (i % 997 != 0 && i != Rows / 2)
                continue;
            for (int c = 0; c < expected.size(); ++c) {
                ExpectSameValue(spool.Value(c), expected[c], c);
                const bool text =
                    expected[c].typeId() == QMetaType::QString && !expected[c].isNull();
                ASSERT_EQ(spool.IsText(c), text) << c;
                if (text) {
                    EXPECT_EQ(spool.Text(c), expected[c].toString()) << c;
                }
            }
        }
        EXPECT_FALSE(spool.Next());
    }
}

// Every way of reading a field gives the same in both stores.
void ExpectSameRow(const TConnectorDataset& AFile, const TConnectorDataset& AMemory) {
    for (int c = 0; c < AMemory.FieldNames().size(); ++c) {
        const TConnectorField f = AFile.Field(c), m = AMemory.Field(c);
        ExpectSameValue(f.Value(), m.Value(), c);
        EXPECT_EQ(f.IsNull(), m.IsNull()) << c;
        EXPECT_EQ(f.AsString(), m.AsString()) << c;
        EXPECT_EQ(f.AsText(), m.AsText()) << c;
    }
}

TEST(RowStore, TemporaryFileReadsAsMemory) {
    const testsupport::TSampleEnvironment env(3000);
    dataaccesstest::TLogCapture log;
    const TSessionLease session;
    for (const char* store : {"1", "2", "3"}) {
        SCOPED_TRACE(store);
        auto memory = OpenQuery(Session(), "1", store, "", 0);
        auto file = OpenQuery(Session(), "1", store, "", 0, TRowStore::TemporaryFile);
        ASSERT_GT(memory->RecordCount(), 100);
        ASSERT_EQ(file->RecordCount(), memory->RecordCount());
        ASSERT_EQ(file->FieldNames(), memory->FieldNames());
        const int date = memory->FieldIndex(QStringLiteral("SalesDate"));
        const int call = memory->FieldIndex(QStringLiteral("Allow_Call"));
        for (int pass = 0; pass < 2; ++pass) {
            SCOPED_TRACE(pass);
            // A second pass starts from the first row again, as in memory.
            memory->First();
            file->First();
            int rows = 0;
            for (; !memory->Eof(); memory->Next(), file->Next(), ++rows) {
                ASSERT_FALSE(file->Eof()) << rows;
                ExpectSameRow(*file, *memory);
                EXPECT_EQ(file->Field(date).AsDateTime(), memory->Field(date).AsDateTime());
                EXPECT_EQ(file->Field(call).AsInteger(), memory->Field(call).AsInteger());
            }
            EXPECT_TRUE(file->Eof());
            EXPECT_EQ(rows, memory->RecordCount());
            // Past the last row: null values in both.
            ExpectSameRow(*file, *memory);
        }
        EXPECT_THROW(file->Field(file->FieldNames().size()), EDatabaseError);
        EXPECT_THROW(file->FieldIndex(QStringLiteral("NoSuchColumn")), EDatabaseError);
        file->Close();
        EXPECT_THROW(file->RecordCount(), EDatabaseError);
    }
}

// Noon, then the hours around the changes of both zones, to the millisecond.
QList<QTime> TimesOfDay() {
    QList<QTime> times;
    for (int minutes = 0; minutes < 24 * 60; minutes += 30)
        times << QTime(0, 0).addSecs(minutes * 60);
    for (int hour : {0, 1, 2, 3, 4, 23})
        times << QTime(hour, 59, 59, 999) << QTime(hour, 0, 0, 1);
    return times;
}

QList<QDate> DaysAroundClockChanges() {
    QList<QDate> days;
    // New York: 8 March and 1 November 2026; Helsinki: 29 March and
    // 25 October 2026 (UTC 01:00, 04:00 or 03:00 local).
    for (const QDate day : {QDate(2026, 3, 8), QDate(2026, 11, 1), QDate(2026, 3, 29),
                            QDate(2026, 10, 25), QDate(2024, 12, 31), QDate(2100, 3, 14)})
        for (int offset = -1; offset <= 1; ++offset)
            days << day.addDays(offset);
    // Far from now the exact way is taken throughout.
    days << QDate(1960, 4, 24) << QDate(2150, 3, 8) << QDate(1899, 12, 29);
    return days;
}

// The database's times as the point of sale wrote them, whatever the zone:
// also those in the hour daylight saving skips or repeats.
TEST(WallClock, DatesAndTimesReadAsWrittenAroundClockChanges) {
    const QList<QTime> times = TimesOfDay();
    for (const QDate day : DaysAroundClockChanges())
        for (const QTime time : times) {
            const QString text = day.toString(QStringLiteral("yyyy-MM-dd ")) +
                                 time.toString(QStringLiteral("HH:mm:ss.zzz"));
            SCOPED_TRACE(text.toStdString());
            const TConnectorField field{QVariant(text)};
            EXPECT_EQ(uOVUtils::WallClockText(field.AsWallClock()), text);
        }
}

// Every layout AsDateTime reads, AsWallClock reads, and the same ones fail.
TEST(WallClock, ReadsTheLayoutsAsDateTimeDoes) {
    const char* const texts[] = {"2026-03-08 02:30:00.000", // in New York's gap
                                 "2026-03-29 03:30:00.000", // in Helsinki's gap
                                 "2026-11-01 01:30:00.000", // New York's repeated hour
                                 "2026-10-25 03:30:00.500", // Helsinki's repeated hour
                                 "2026-12-01 23:59:59.999",
                                 "2026-12-01T08:15:00",
                                 "2026-12-01 08:15:00",
                                 "2026-12-01",
                                 " 2026-12-01 08:15:00.123 ",
                                 "2026-1-5 3:4:5.6",
                                 "2026-12-01 08:15:00.1234",
                                 "2026-12-01 08:15",
                                 "2026-13-01 08:15:00.000",
                                 "2026-02-30",
                                 "2026-12-01 24:00:00.000",
                                 "2026-12-01 08:15:00,000",
                                 "2026-12-01 08:15:00.0x0",
                                 "x026-12-01 08:15:00.000",
                                 "",
                                 "tomorrow"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const TConnectorField field{QVariant(QString::fromLatin1(text))};
        QString local, wall;
        TDateTime localValue = -1, wallValue = -2;
        try {
            localValue = field.AsDateTime();
        } catch (const EConvertError& E) {
            local = E.Message();
        }
        try {
            wallValue = field.AsWallClock();
        } catch (const EConvertError& E) {
            wall = E.Message();
        }
        EXPECT_EQ(wall, local);
        // A local time moves only in a skipped hour; the wall clock never.
        const bool inAGap = QByteArray(text).startsWith("2026-03-08 02:") ||
                            QByteArray(text).startsWith("2026-03-29 03:");
        if (local.isEmpty() && !inAGap) {
            EXPECT_EQ(wallValue, localValue);
        }
    }
}

} // namespace
