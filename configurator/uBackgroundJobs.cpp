#include "configurator/uBackgroundJobs.h"

namespace uBackgroundJobs {

namespace detail {
std::atomic<int>& Pending(TPool APool) {
    static std::atomic<int> database{0};
    static std::atomic<int> network{0};
    return APool == TPool::Database ? database : network;
}
} // namespace detail

QThreadPool& Pool(TPool APool) {
    static QThreadPool* database = [] {
        auto* p = new QThreadPool();
        p->setMaxThreadCount(1);
        p->setExpiryTimeout(-1);
        return p;
    }();
    static QThreadPool* network = [] {
        auto* p = new QThreadPool();
        p->setMaxThreadCount(4);
        return p;
    }();
    return APool == TPool::Database ? *database : *network;
}

bool Busy(TPool APool) {
    return detail::Pending(APool).load() > 0;
}

bool Busy() {
    return Busy(TPool::Database) || Busy(TPool::Network);
}

} // namespace uBackgroundJobs
