// Scheduling and memory of the receive thread: a stream must not stall
// because other programs load the host.
#pragma once

namespace orna {

// Bytes of the receive thread's stack below its entry that are touched and
// locked before the first pass (packets are built in a stack buffer).
constexpr unsigned long kLockedStackBytes = 128 * 1024;
// Real-time priority asked for, lowered to RLIMIT_RTPRIO when that is set;
// the nice value asked for instead, raised to what RLIMIT_NICE allows.
constexpr int kRealtimePriority = 10;
constexpr int kFallbackNice = -10;

// Run first on the receive thread. Asks for SCHED_FIFO (unless the
// environment has ORNA_REALTIME=0), or failing that for a negative nice value,
// and carries on at whatever the system grants. Then touches and locks the
// stack reserve above and, once per process, the library's own code and data
// (receive buffers included), so that no page fault waits on the sample path.
// Finally names the thread "orna-rx". Never fails.
void _PrepareReceiveThread();

}  // namespace orna
