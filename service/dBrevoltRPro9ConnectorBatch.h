#pragma once
// The batch file of a run: its name, its line layout, and the step texts the
// scan and the upload keep for their error lines.
#include "common/uOVException.h"
#include "common/uOVUtils.h"

#include <iterator>
#include <limits>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <vector>

OV_DECLARE_EXCEPTION(EFCreateError, EInOutError);

namespace dBrevoltRPro9ConnectorBatch {

// Archived batch files older than this many days are deleted.
constexpr int ArchiveDays = 30;

// How a batch value is made from the query's row.
enum class TBatchValue {
    Location, // Source and Source2, each padded with "0" to three characters
    Text,     // Source as text; null is empty
    Empty,    // always empty
    Date,     // Source as "m/d/yyyy", whatever the regional settings
    DoNot,    // "No" when Source reads as 1, otherwise "Yes"
};

// One column of the batch file, in file order: the header's name, how its
// value is made, the query's columns it comes from, and the name its value
// is traced under at level 9 (a location traces its two sources, each
// under its own name; no name: not traced).
struct TBatchColumn {
    const char* Header;
    TBatchValue Value;
    const char* Source = nullptr;
    const char* Source2 = nullptr;
    const char* Trace = nullptr;
};
inline constexpr TBatchColumn BatchColumns[] = {
    {"LocationId", TBatchValue::Location, "LocationId01", "LocationId02"},
    {"First Name", TBatchValue::Text, "FirstName", nullptr, "FirstName"},
    {"Last Name", TBatchValue::Text, "LastName", nullptr, "LastName"},
    {"Phone1", TBatchValue::Text, "Phone1", nullptr, "Phone1"},
    {"Phone2", TBatchValue::Text, "Phone2", nullptr, "Phone2"},
    {"Phone3", TBatchValue::Empty},
    {"Email", TBatchValue::Text, "Email", nullptr, "Email"},
    {"SalesPersonEmail", TBatchValue::Text, "SalesPersonEmail", nullptr, "SalesPersonEmail"},
    {"SalesDate", TBatchValue::Date, "SalesDate", nullptr, "SalesDate"},
    {"Do_Not_Call", TBatchValue::DoNot, "Allow_Call", nullptr, "Do_Not_Call"},
    {"Do_Not_Email", TBatchValue::DoNot, "Allow_Email", nullptr, "Do_Not_Email"},
};
constexpr int BatchColumnCount = int(std::size(BatchColumns));

// The first line of every batch file: the columns' names.
QString HeaderLine();

// The file name made of ABaseName: its characters outside
// ! & ( ) - 0-9 A-Z a-z [ ] _ { } ~ dropped, ".csv" appended; empty when no
// character is left.
QString BatchFileName(const QString& ABaseName);

// One value between double quotes. A double quote inside is doubled and a
// CR or LF becomes a blank, so that every invoice stays one line.
QString QuoteValue(const QString& AValue);
// AValue quoted the same way onto the end of ALine, after a comma unless
// ALine is empty: a line built in one buffer.
void AppendValue(QString& ALine, QStringView AValue);
// The values quoted and joined with commas.
QString BatchLine(const QStringList& AValues);

// A batch line built value by value straight into the ANSI code page: the
// bytes of uOVCodePage::ToAnsi(BatchLine(values)), then CR LF.
class TAnsiBatchLine {
public:
    void Clear() { FSize = 0; }
    void Add(QStringView AValue);
    // The line with its CR LF, valid until the next Clear or Add.
    QByteArrayView Line();

private:
    char* Room(qsizetype ABytes);

    std::vector<char> FBytes;
    qsizetype FSize = 0;
};

// The "SalesDate" value, "m/d/yyyy" whatever the regional settings. The
// text of the last day is kept: a location's invoices come day by day.
class TSalesDateText {
public:
    const QString& Text(TDateTime AValue);

private:
    double FDay = std::numeric_limits<double>::quiet_NaN();
    QString FText;
};

// Sets the current step text; logs it under AArea when ALogLevel >= 0.
void SetStep(QString& AStep, const QString& AText, const QString& AArea, int ALogLevel = -1);

} // namespace dBrevoltRPro9ConnectorBatch
