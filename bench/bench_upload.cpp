// One batch upload as the service makes it: the batch file open read/write
// in a buffered QFile, rewound, then Connect, Put under its own name and
// Disconnect through TOVFtpClient.
//
//   bench_upload --server HOST:PORT --user U --password P --file PATH
//
// Prints one line: "<bytes> <seconds>", the size of the file and the seconds
// from the start of Connect to the end of Put (log-in and transfer, as
// `curl -w '%{size_upload} %{time_total}'` counts them).
#include "bench/BenchSupport.h"
#include "common/uOVFtp.h"

#include <cstdio>
#include <cstdlib>
#include <QFile>
#include <QFileInfo>

using namespace benchsupport;

int main(int argc, char** argv) {
    const QString path = TextOption(argc, argv, "file", QString());
    TOVFtpClient client;
    client.Host = TextOption(argc, argv, "server", QString());
    client.Username = TextOption(argc, argv, "user", QString());
    client.Password = TextOption(argc, argv, "password", QString());
    QFile file(path);
    if (path.isEmpty() || client.Host.isEmpty() || !file.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "bench_upload: --server, --user, --password and a readable --file "
                             "are needed\n");
        return 2;
    }
    try {
        file.seek(0);
        const TStopwatch clock;
        client.Connect();
        client.Put(file, QFileInfo(path).fileName());
        const double seconds = clock.Seconds();
        client.Disconnect();
        std::printf("%lld %.6f\n", static_cast<long long>(file.size()), seconds);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_upload: %s\n", E.what());
        return 1;
    }
    return 0;
}
