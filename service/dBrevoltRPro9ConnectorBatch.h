#pragma once
// The batch file of a run: its name, its line layout, and the step texts the
// scan and the upload keep for their error lines.
#include "common/uOVException.h"

#include <QString>
#include <QStringList>

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
// The values quoted and joined with commas.
QString BatchLine(const QStringList& AValues);

// Sets the current step text; logs it under AArea when ALogLevel >= 0.
void SetStep(QString& AStep, const QString& AText, const QString& AArea, int ALogLevel = -1);

} // namespace dBrevoltRPro9ConnectorBatch
