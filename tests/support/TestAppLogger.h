#pragma once
// The program's logger for a test: AppLogger (also the default logger) at
// level 9, writing into uOVLogging::LogDir(), and the text of log files.
#include <QString>

namespace testsupport {

void StartTestAppLogger(const QString& AModuleName);
// Ends and frees the logger, after it has written every queued line.
void EndTestAppLogger();
// Ends the logger and returns the text of every log file in LogDir().
QString TestAppLoggerText();
// The decoded text of every "*.log" in AFolder, in name order.
QString LogFilesText(const QString& AFolder);

} // namespace testsupport
