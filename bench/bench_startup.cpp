// The start-up cost of reading the version stamps: a Qt program that reads
// the stamps of the given executables as Init does, or, with --minimal, the
// same program without the reads (the floor any Qt program pays).
//
//   bench_startup [--minimal] EXECUTABLE...
//
// Prints one line: "<CPU ms> <peak RSS KiB> <ms in GetFileVersionText>",
// the CPU time and resident high-water mark of the whole process, loading
// included.
#include "bench/BenchSupport.h"
#include "common/uOVUtils.h"

#include <cstdio>
#include <cstring>
#include <QCoreApplication>
#include <sys/resource.h>

using namespace benchsupport;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool minimal = HasOption(argc, argv, "minimal");
    const TStopwatch clock;
    qsizetype stamped = 0;
    if (!minimal)
        for (int i = 1; i < argc; ++i)
            if (std::strncmp(argv[i], "--", 2) != 0)
                stamped += uOVUtils::GetFileVersionText(QString::fromLocal8Bit(argv[i])).size();
    const double readMs = clock.Seconds() * 1000.0;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    std::printf("%.3f %ld %.3f\n", cpuMs, usage.ru_maxrss, readMs);
    // A stamp that cannot be read is an error: the figures would be a miss's.
    return minimal || stamped > 0 ? 0 : 1;
}
