#pragma once
// Shared set-up of the logging tests: a temporary log folder, a clock that
// stands still, the process state restored after each test, and readers of
// the written log lines.
#include "common/uOVClock.h"
#include "common/uOVCodePage.h"
#include "common/uOVLogging.h"
#include "platform/Process.h"
#include "tests/support/ProcessState.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <QDir>
#include <QRegularExpression>
#include <thread>

namespace loggingtest {

struct TLine {
    QString stamp, type, area, msg;
};

// Splits a log line into its columns; an empty type marks a line that does
// not follow the layout.
inline TLine ParseLine(const QString& ALine) {
    static const QRegularExpression layout(
        QStringLiteral(R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \| (.{9})\|(.{50})\| (.*)$)"));
    const auto m = layout.match(ALine);
    if (!m.hasMatch())
        return {};
    return {m.captured(1), m.captured(2), m.captured(3), m.captured(4)};
}

// The lines of a log file, decoded from the ANSI code page; every line must
// end with CR LF.
inline QStringList ReadLines(const QString& APath) {
    const QByteArray bytes = testsupport::ReadFileBytes(APath);
    QStringList lines = uOVCodePage::FromAnsi(bytes).split(QStringLiteral("\r\n"));
    EXPECT_TRUE(lines.last().isEmpty()) << "last line without CR LF";
    lines.removeLast();
    for (const QString& line : lines)
        EXPECT_FALSE(line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r')));
    return lines;
}

// The parsed lines after the last header (which ends with the OS line).
inline QList<TLine> Body(const QStringList& ALines) {
    const QString osLine = uOVUtils::WindowsVersionText();
    qsizetype start = 0;
    for (qsizetype i = 0; i < ALines.size(); ++i)
        if (ParseLine(ALines.at(i)).msg == osLine)
            start = i + 1;
    QList<TLine> body;
    for (qsizetype i = start; i < ALines.size(); ++i)
        body << ParseLine(ALines.at(i));
    return body;
}

inline QStringList Messages(const QList<TLine>& ALines) {
    QStringList out;
    for (const TLine& line : ALines)
        out << line.msg;
    return out;
}

inline QStringList LogFiles(const QString& ADir) {
    return QDir(ADir).entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name);
}

using testsupport::WaitUntil;

inline const QDateTime StartOfTest(QDate(2024, 3, 5), QTime(10, 20, 30, 456));

class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetCommandLine(std::vector<std::string>{});
        uOVLogging::StartModule();
        uOVLogging::SetLogDir(FTemp.Dir());
        SetClock(&FClock);
    }
    void TearDown() override { uOVLogging::EndModule(); }

    testsupport::TProcessState FProcessState;
    testsupport::TTempDir FTemp;
    TManualClock FClock{StartOfTest};
};

} // namespace loggingtest
