// A second program on the configuration file, run by test_config in another
// locale or time zone than the one that wrote the file:
//   config_child write DIR   saves a fixed record into DIR
//   config_child read DIR    loads DIR's file and prints its times
#include "common/uBrevoltRPro9ConnectorCommon.h"

#include <cmath>
#include <cstdio>
#include <QCoreApplication>
#include <QTime>

using namespace uBrevoltRPro9ConnectorCommon;
using namespace uOVUtils;

namespace {

void Write() {
    TConnectorConfig& c = Config();
    c.lastquery = ToDateTime(QDateTime(QDate(2026, 9, 12), QTime(14, 30, 15, 250)));
    c.sleepbegin = 22.5 / 24;
    c.sleepend = 5.25 / 24;
    c.DayTimes[0][0] = 0;
    c.DayTimes[1][1] = 0.5;
    c.DayTimes[3][2] = (9 * 60 + 5) / 1440.0;
    c.DayTimes[6][5] = (23 * 60 + 59) / 1440.0;
    SaveConfig();
}

// Qt's own formatting, so that the output does not depend on what is tested.
QString TimeText(TDateTime AValue) {
    if (AValue < 0)
        return QStringLiteral("unset");
    return QTime::fromMSecsSinceStartOfDay(static_cast<int>(std::llround(AValue * 86400000)))
        .toString(QStringLiteral("HH:mm"));
}

void Print() {
    const TConnectorConfig& c = Config();
    QString out = QStringLiteral("lastquery ") +
                  ToQDateTime(c.lastquery).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) +
                  QStringLiteral("\nsleep ") + TimeText(c.sleepbegin) + QLatin1Char('-') +
                  TimeText(c.sleepend) + QLatin1Char('\n');
    for (int day = 0; day < 7; ++day)
        for (int slot = 0; slot < 6; ++slot)
            if (c.DayTimes[day][slot] >= 0)
                out += QStringLiteral("slot %1/%2 ").arg(day).arg(slot + 1) +
                       TimeText(c.DayTimes[day][slot]) + QLatin1Char('\n');
    std::fputs(out.toUtf8().constData(), stdout);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    SetExeDir(WithTrailingBackslash(QString::fromLocal8Bit(argv[2])));
    if (qstrcmp(argv[1], "write") == 0) {
        Write();
        return 0;
    }
    bool changed = false;
    if (!LoadConfig(changed))
        return 1;
    Print();
    return 0;
}
