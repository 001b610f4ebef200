#pragma once
// A logger writing into a temporary folder at level 9, installed as the
// default logger, whose lines the tests read back by area.
#include "common/uOVCodePage.h"
#include "common/uOVLogging.h"
#include "tests/support/SampleEnvironment.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <memory>
#include <QFile>
#include <QRegularExpression>

namespace dataaccesstest {

struct TLogEntry {
    QString Type, Area, Msg;
};

class TLogCapture {
public:
    TLogCapture() {
        uOVLogging::StartModule();
        uOVLogging::SetLogDir(FDir.Dir());
        FLogger = std::make_unique<TOVLogger>(QStringLiteral("DataAccess"), false);
        FLogger->SetLogLevel(9);
        FLogger->StartLogging();
        uOVLogging::SetDefaultLogger(FLogger.get());
    }
    ~TLogCapture() {
        uOVLogging::SetDefaultLogger(nullptr);
        FLogger.reset();
        uOVLogging::EndModule();
    }

    // Ends logging and returns every line written; a message that spans lines
    // is joined back with CR LF.
    const QList<TLogEntry>& Entries() {
        if (FLogger->GetLoggingStarted()) {
            const QString path = FLogger->GetOutputPath();
            FLogger->EndLogging();
            static const QRegularExpression layout(QStringLiteral(
                R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \| (.{9})\|(.{50})\| (.*)$)"));
            QStringList lines = uOVCodePage::FromAnsi(testsupport::ReadFileBytes(path))
                                    .split(QStringLiteral("\r\n"));
            lines.removeLast(); // after the last line end
            for (const QString& line : lines) {
                const auto m = layout.match(line);
                if (m.hasMatch())
                    FEntries.append({m.captured(1), m.captured(2).trimmed(), m.captured(3)});
                else if (!FEntries.isEmpty())
                    FEntries.last().Msg += QStringLiteral("\r\n") + line;
            }
        }
        return FEntries;
    }
    QStringList Messages(const QString& AArea) {
        QStringList r;
        for (const TLogEntry& e : Entries())
            if (e.Area == AArea)
                r.append(e.Msg);
        return r;
    }
    // Messages of the error lines ("<class> in <area>: <message>").
    QStringList Errors() {
        QStringList r;
        for (const TLogEntry& e : Entries())
            if (e.Type == uOVLogging::LOG_ERROR)
                r.append(e.Msg);
        return r;
    }

private:
    testsupport::TTempDir FDir;
    std::unique_ptr<TOVLogger> FLogger;
    QList<TLogEntry> FEntries;
};

} // namespace dataaccesstest
