#pragma once
// The batch file of a run: its name, its line layout, and the step texts the
// scan and the upload keep for their error lines.
#include "common/uOVException.h"
#include "common/uOVUtils.h"

#include <limits>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <vector>

OV_DECLARE_EXCEPTION(EFCreateError, EInOutError);

namespace dBrevoltRPro9ConnectorBatch {

// Archived batch files older than this many days are deleted.
constexpr int ArchiveDays = 30;

// The first line of every batch file.
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
