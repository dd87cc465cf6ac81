#include "runtime/RThreadPriority.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstring>

#include "runtime/RDebugTrace.h"

namespace DUve {

bool RaiseCallingThreadForTimeCriticalWork() {
    sched_param param{};
    param.sched_priority = kTimeCriticalPriority;
    const int nError = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (nError == 0) return true;
    static std::atomic<bool> s_bTraced{false};
    if (!s_bTraced.exchange(true))
        DebugTrace("\ntime-critical threads run at ordinary priority: real-time priority %d refused (%s)",
                   kTimeCriticalPriority, std::strerror(nError));
    return false;
}

}  // namespace DUve
