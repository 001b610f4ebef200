#pragma once
// The program's logger for a test: AppLogger (also the default logger) at
// level 9, writing into memory or into uOVLogging::LogDir(), and the text of
// log files.
#include <QString>

namespace testsupport {

enum class TTestLog { Memory, Files };

void StartTestAppLogger(const QString& AModuleName, TTestLog ATo = TTestLog::Memory);
// Ends and frees the logger, after it has written every queued line.
void EndTestAppLogger();
// Everything logged so far. In memory the logger goes on; with files it is
// ended and the text is that of every log file in LogDir().
QString TestAppLoggerText();
// The decoded text of every "*.log" in AFolder, in name order.
QString LogFilesText(const QString& AFolder);

} // namespace testsupport
