// Scheduling and memory of the receive thread. The instrument holds about
// 300 ms of samples; a receive thread that waits longer than that for a CPU,
// or for a page to come back from disk, leaves a gap in the signal. So the
// thread asks for a real-time priority, as far as the system's limits allow,
// and locks what it touches while streaming. It never locks the host's whole
// process (mlockall): only its own stack, code and data.
#include "link/realtime.h"

#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orna {

namespace {

bool PriorityWanted() {
  const char* v = std::getenv("ORNA_REALTIME");
  return v == nullptr || std::strcmp(v, "0") != 0;
}

// SCHED_FIFO at a modest level, within RLIMIT_RTPRIO. A limit of 0 (the
// default, also for root) leaves the answer to the system: a process that may
// set any priority (CAP_SYS_NICE) gets it, others are refused. Children the
// thread forks or threads it starts (from a host callback) begin at normal
// priority again.
bool AskForRealtime() {
  int priority = kRealtimePriority;
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur >= 1 && limit.rlim_cur < static_cast<rlim_t>(priority)) {
    priority = static_cast<int>(limit.rlim_cur);
  }
  sched_param param{};
  param.sched_priority = priority;
  return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

// A negative nice value for this thread alone, within RLIMIT_NICE (which
// allows nice values down to 20 - limit); again a limit of 0 leaves it to the
// system. As above, what the thread starts begins at nice 0.
void AskForNice() {
  sched_param normal{};
  sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal);
  int nice = kFallbackNice;
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= 1) {
    const int lowest = 20 - static_cast<int>(limit.rlim_cur < 40 ? limit.rlim_cur : 40);
    if (lowest >= 0) return;  // the limit allows no raise in priority
    if (nice < lowest) nice = lowest;
  }
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
}

std::uintptr_t PageSize() { return static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)); }

void LockRange(std::uintptr_t begin, std::uintptr_t end) {
  const std::uintptr_t page = PageSize();
  begin &= ~(page - 1);
  end = (end + page - 1) & ~(page - 1);
  if (end > begin) mlock(reinterpret_cast<void*>(begin), end - begin);
}

// Touches and locks kLockedStackBytes below the caller's frame and the stack
// above it; the frames of every later pass lie within.
__attribute__((noinline)) void LockStack(std::uintptr_t stack_top) {
  volatile unsigned char reserve[kLockedStackBytes];
  const std::uintptr_t page = PageSize();
  for (std::size_t i = 0; i < kLockedStackBytes; i += page) reserve[i] = 0;
  reserve[kLockedStackBytes - 1] = 0;
  LockRange(reinterpret_cast<std::uintptr_t>(&reserve[0]), stack_top);
}

void LockThreadStack() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* base = nullptr;
  std::size_t size = 0;
  const bool known = pthread_attr_getstack(&attr, &base, &size) == 0;
  pthread_attr_destroy(&attr);
  // A host that gave its threads small stacks keeps them unlocked rather
  // than overflowing them.
  if (!known || size < 4 * kLockedStackBytes) return;
  LockStack(reinterpret_cast<std::uintptr_t>(base) + size);
}

// The loaded segments of the object this code lives in (liborna.so, or the
// program it is linked into): code, tables, globals and the receive buffers.
struct Segments {
  std::uintptr_t self;
  int count;
  std::uintptr_t begin[16], end[16];
  bool writable[16];
};

int FindSegments(dl_phdr_info* info, std::size_t, void* data) {
  auto* s = static_cast<Segments*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
    if (s->self < begin || s->self >= begin + ph.p_memsz) continue;
    // This is the object: take all its loadable segments.
    for (int j = 0; j < info->dlpi_phnum && s->count < 16; ++j) {
      const ElfW(Phdr)& seg = info->dlpi_phdr[j];
      if (seg.p_type != PT_LOAD) continue;
      s->begin[s->count] = info->dlpi_addr + seg.p_vaddr;
      s->end[s->count] = s->begin[s->count] + seg.p_memsz;
      s->writable[s->count] = (seg.p_flags & PF_W) != 0;
      ++s->count;
    }
    return 1;
  }
  return 0;
}

void LockImage() {
  Segments s{};
  s.self = reinterpret_cast<std::uintptr_t>(&FindSegments);
  dl_iterate_phdr(FindSegments, &s);
  // Globals first (the receive buffers), so that a tight RLIMIT_MEMLOCK
  // still covers them; each segment is locked or not on its own.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < s.count; ++i) {
      if (s.writable[i] == (pass == 0)) LockRange(s.begin[i], s.end[i]);
    }
  }
}

std::atomic<bool> s_ImageLocked{false};

}  // namespace

void _PrepareReceiveThread() {
  if (PriorityWanted() && !AskForRealtime()) AskForNice();
  LockThreadStack();
  if (!s_ImageLocked.exchange(true)) LockImage();
  pthread_setname_np(pthread_self(), "orna-rx");
}

}  // namespace orna
