// Time-critical threads: the ones that have to keep ahead of the sound (the player's
// dispatch, instruments rendering ahead, the devices handing their data to the sound
// server). Where the system allows it (root, CAP_SYS_NICE or an RLIMIT_RTPRIO above 0)
// such a thread is scheduled ahead of every ordinary thread, at a real-time priority
// below the sound server's own threads, so a busy machine delays it no more than the
// sound server. Where it is refused the thread stays ordinary; the first refusal is
// traced once.
#pragma once

namespace DUve {

// The real-time (SCHED_FIFO) priority time-critical threads ask for: low, so the sound
// server's threads (JACK's run at 10 and above by default) stay ahead of them.
constexpr int kTimeCriticalPriority = 3;

// Raises the calling thread; true when it now runs at kTimeCriticalPriority.
bool RaiseCallingThreadForTimeCriticalWork();

}  // namespace DUve
