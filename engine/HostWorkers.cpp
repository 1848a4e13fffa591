#include "engine/HostWorkers.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "engine/EngineLock.h"
#include "hosts/Status.h"
#include "model/DebugLog.h"
#include "model/LineTag.h"

namespace {

int limitSetting = 8;

// Takes the next name until none is left; next is only touched under the
// engine lock.
void worker(const std::vector<std::string>& names, std::size_t& next,
            const std::function<void(std::size_t)>& work) {
    EngineLockHeld held;
    while (next < names.size()) {
        std::size_t i = next++;
        LineTag tag(names[i] + ": ");
        work(i);
        endTaggedStatusLine();
        dbFile.endTaggedLine();
    }
}

}  // namespace

int hostLimit() {
    return limitSetting;
}

int setHostLimit(int limit) {
    int old = limitSetting;
    limitSetting = limit;
    return old;
}

void runSideBySide(const std::vector<std::string>& names, int limit,
                   const std::function<void(std::size_t)>& work) {
    std::size_t next = 0;
    std::size_t count = std::min(names.size(), std::size_t(std::max(limit, 1)));
    std::vector<std::thread> workers;
    try {
        for (std::size_t w = 0; w < count; ++w)
            workers.emplace_back(worker, std::cref(names), std::ref(next), std::cref(work));
    } catch (const std::system_error& e) {
        // Fewer threads than asked for; with none the hosts go one by one.
        dbFile << "host workers: " << e.what() << std::endl;
        if (workers.empty()) worker(names, next, work);
    }
    for (std::thread& w : workers) w.join();
}

void forEachHost(const std::vector<std::string>& names,
                 const std::function<void(std::size_t)>& work) {
    if (hostLimit() > 1 && names.size() > 1 && !engineLockHeld()) {
        runSideBySide(names, hostLimit(), work);
        return;
    }
    for (std::size_t i = 0; i < names.size(); ++i) work(i);
}
