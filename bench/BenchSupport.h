#pragma once
// What the benchmarks share: memory readings of this process, a stopwatch,
// command-line options and a plain text table.
#include <chrono>
#include <QList>
#include <QString>
#include <QStringList>

namespace benchsupport {

// Resident set size now and its high-water mark, from /proc/self/status.
struct TMemory {
    qint64 RssKiB = 0;
    qint64 PeakKiB = 0;
};
TMemory ReadMemory();
// Starts a new high-water mark at the present size (Linux clear_refs);
// false when the kernel refuses, and the mark then still counts from the
// start of the process.
bool ResetPeak();
// Bytes the allocator has handed out and not got back: unlike the resident
// size, this falls when memory is freed and is not hidden by reuse.
qint64 HeapInUse();

class TStopwatch {
public:
    TStopwatch() : FStart(std::chrono::steady_clock::now()) {}
    void Restart() { FStart = std::chrono::steady_clock::now(); }
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
    }

private:
    std::chrono::steady_clock::time_point FStart;
};

// "--name N" or "--name=N"; ADefault when absent. Exits with a message when
// the value is not a whole number of at least AMinimum.
qint64 IntOption(int argc, char** argv, const char* AName, qint64 ADefault, qint64 AMinimum = 1);
// "--name TEXT" or "--name=TEXT".
QString TextOption(int argc, char** argv, const char* AName, const QString& ADefault);
bool HasOption(int argc, char** argv, const char* AName);

// The folder for the benchmark's files: "--dir", else the system's
// temporary folder.
QString WorkFolder(int argc, char** argv);

// Number formats of the tables.
QString Count(qint64 AValue);                // 1,000,000
QString Fixed(double AValue, int ADecimals); // 12.34
QString MiB(qint64 ABytes);                  // 12.3
QString KiBToMiB(qint64 AKiB);               // 12.3

// Prints a title, then the rows in aligned columns, the first row being the
// column names.
void PrintTable(const QString& ATitle, const QList<QStringList>& ARows);

// Counts the LF bytes of a file; -1 when it cannot be read.
qint64 CountLines(const QString& APath);

} // namespace benchsupport
