// The yardstick for the logger: spdlog's asynchronous logger with the block
// overflow policy and a file sink, fed the same lines as bench_logging feeds
// TOVLogger (same text, area column and CR LF), from 1 or more threads.
//
//   anchor_spdlog [--lines N] [--threads T] [--dir FOLDER] [--queue Q] [--keep]
//
// Prints the lines per second, counted until every line is in the file and
// the file is flushed and closed. --keep leaves the file in the folder.
#include <spdlog/async.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

long long Option(int argc, char** argv, const char* AName, long long ADefault) {
    const std::string name = std::string("--") + AName;
    for (int i = 1; i + 1 < argc; ++i)
        if (name == argv[i])
            return std::atoll(argv[i + 1]);
    return ADefault;
}

std::string TextOption(int argc, char** argv, const char* AName, const std::string& ADefault) {
    const std::string name = std::string("--") + AName;
    for (int i = 1; i + 1 < argc; ++i)
        if (name == argv[i])
            return argv[i + 1];
    return ADefault;
}

} // namespace

int main(int argc, char** argv) {
    const long long lines = Option(argc, argv, "lines", 1000000);
    const int threads = static_cast<int>(Option(argc, argv, "threads", 1));
    // The queue holds as many lines as TOVLogger's default queue limit.
    const auto queue = static_cast<size_t>(Option(argc, argv, "queue", 100000));
    const std::string dir = TextOption(argc, argv, "dir", "/tmp");
    if (lines < 1 || threads < 1 || queue < 1) {
        std::fprintf(stderr, "anchor_spdlog: --lines, --threads and --queue must be positive\n");
        return 2;
    }
    const std::string path = dir + "/anchor_spdlog-" + std::to_string(getpid()) + ".log";

    spdlog::init_thread_pool(queue, 1);
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true);
    auto logger = std::make_shared<spdlog::async_logger>("anchor", sink, spdlog::thread_pool(),
                                                         spdlog::async_overflow_policy::block);
    // The stamp, the type and area columns of a TOVLogger line, CR LF.
    logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%Y-%m-%d %H:%M:%S.%e |  INFO    |TdlgConnectorLogic.ReadDataset                    | %v",
        spdlog::pattern_time_type::local, "\r\n"));

    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    const long long perThread = lines / threads;
    for (int t = 0; t < threads; ++t)
        callers.emplace_back([&] {
            while (!go)
                std::this_thread::yield();
            for (long long i = 1; i <= perThread; ++i)
                logger->info("{} records written to the batch file...", i);
        });
    const auto start = std::chrono::steady_clock::now();
    go = true;
    for (std::thread& caller : callers)
        caller.join();
    // Waits for the queue to drain, then flushes and closes the file.
    logger->flush();
    logger.reset();
    sink.reset();
    spdlog::shutdown();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    long long written = 0;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::vector<char> buffer(1 << 16);
        for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0;)
            for (size_t i = 0; i < n; ++i)
                written += buffer[i] == '\n';
        std::fclose(f);
    }
    bool keep = false;
    for (int i = 1; i < argc; ++i)
        keep = keep || std::strcmp(argv[i], "--keep") == 0;
    if (!keep)
        std::remove(path.c_str());
    if (written != perThread * threads) {
        std::fprintf(stderr, "anchor_spdlog: %lld lines logged, %lld in the file\n",
                     perThread * threads, written);
        return 1;
    }
    std::printf("%.0f\n", double(written) / seconds);
    return 0;
}
