#pragma once
// The bootstrap trace: a few lines about the program's start and the
// service's state changes, written apart from the logger so that they exist
// even when the logger never comes up. The file is
// /var/log/OrvaneSoftware/Brevolt.log (BREVOLT_TRACE_FILE overrides it). Its
// folder is never created, and every I/O error is ignored: without the
// folder the lines are simply lost.
#include <QString>

namespace uBootstrapTrace {

QString TraceFilePath();

// Creates the file anew with ALine as its only line.
void Rewrite(const QString& ALine);
// Adds ALine at the end of the file.
void Append(const QString& ALine);

} // namespace uBootstrapTrace
