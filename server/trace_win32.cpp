#include <windows.h>

#include <ctime>

#include "server/trace.h"

namespace server {

// A program started by a double click runs where Windows chooses: its own
// folder is the one place the person knows.
std::string traceFilePath(const std::string& setting) {
    const bool absolute = setting.size() > 1 && (setting[1] == ':' || (setting[0] == '\\' && setting[1] == '\\'));
    if (absolute) return setting;
    char program[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return setting;
    std::string folder(program, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1) + setting;
}

// An open file cannot be moved here; only a deleted one is gone.
bool movedAway(std::FILE*, const std::string& path) {
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

// Like SCHED_IDLE: the writer runs on processor time nothing else wants.
void lowerThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE); }

bool localTime(long long seconds, std::tm& out) {
    const auto when = static_cast<time_t>(seconds);
    return localtime_s(&out, &when) == 0;
}

}  // namespace server
