#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

#include "server/trace.h"

namespace server {

std::string traceFilePath(const std::string& setting) { return setting; }

bool movedAway(std::FILE* file, const std::string& path) {
    struct stat named {};
    struct stat open {};
    if (::stat(path.c_str(), &named) != 0) return true;
    return ::fstat(::fileno(file), &open) == 0 && (named.st_ino != open.st_ino || named.st_dev != open.st_dev);
}

// The writer runs only on a processor nothing else wants; should the policy
// be refused, a nice value of its own (Linux gives each thread one).
void lowerThreadPriority() {
    const sched_param idle{};
    if (::sched_setscheduler(0, SCHED_IDLE, &idle) != 0)
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
}

bool localTime(long long seconds, std::tm& out) {
    const auto when = static_cast<time_t>(seconds);
    return ::localtime_r(&when, &out) != nullptr;
}

}  // namespace server
