// The locks of the library and the one order in which they are taken.
//
//   0. The open lock (link/discovery.cpp): one open at a time, held across
//      its handshake, which runs without s_lock.
//   1. s_lock: the one lock of all state shared between host threads and the
//      receive thread (settings, generator, apply engine, connection, every
//      write to the port). Every exported function takes it first (ExportLock)
//      and holds it for its whole body, except where it waits: GetAD waits for
//      its reply, InitORNA and OrnaOpenPort for the handshake's replies,
//      OrnaListPorts reads sysfs and the loaders read their file, all without
//      it. The receive thread holds it while it writes and while the upper
//      layer handles an instrument message or the loss of the device.
//   2. Leaf locks: the AD queue (link/receive_thread.h) and the port's
//      descriptor gate (link/serial_port.h). Nothing that takes a lock runs
//      under them; each is held across a few loads and stores, or one read or
//      write of the descriptor.
//
// A thread holds locks only in this order; skipping one is fine, taking an
// earlier one while a later one is held is not.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace orna {

// Recursive, so that callbacks fired with the lock held may call back into the
// library from the same thread. Built on a condition variable rather than a
// plain recursive mutex so that a waiter can be told to give up: the receive
// thread waits for the lock until it is asked to end (the closer holds the
// lock while it waits for that thread), and the exit-time join waits a bounded
// time. Every wait blocks; none polls.
class Lock {
 public:
  void lock() {
    std::unique_lock<std::mutex> guard(m_);
    const auto me = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == me) {
      ++depth_;
      return;
    }
    ++waiters_;
    free_.wait(guard, [this] { return depth_ == 0; });
    --waiters_;
    owner_ = me;
    depth_ = 1;
  }

  bool try_lock() {
    std::lock_guard<std::mutex> guard(m_);
    const auto me = std::this_thread::get_id();
    if (depth_ > 0 && owner_ != me) return false;
    owner_ = me;
    ++depth_;
    return true;
  }

  void unlock() {
    bool wake;
    {
      std::lock_guard<std::mutex> guard(m_);
      if (--depth_ > 0) return;
      owner_ = std::thread::id();
      wake = waiters_ > 0;
    }
    if (wake) free_.notify_all();
  }

  // Takes the lock, unless `give_up()` holds when the wait begins or after a
  // wake (WakeWaiters), or `limit` passes first. True when taken.
  template <typename GiveUp>
  bool lock_unless(GiveUp give_up, std::chrono::milliseconds limit = std::chrono::hours(24)) {
    std::unique_lock<std::mutex> guard(m_);
    const auto me = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == me) {
      ++depth_;
      return true;
    }
    ++waiters_;
    const bool free =
        free_.wait_for(guard, limit, [&] { return depth_ == 0 || give_up(); }) && depth_ == 0;
    --waiters_;
    if (!free) return false;
    owner_ = me;
    depth_ = 1;
    return true;
  }

  // Whether the calling thread holds the lock.
  bool HeldHere() {
    std::lock_guard<std::mutex> guard(m_);
    return depth_ > 0 && owner_ == std::this_thread::get_id();
  }

  // Makes every waiter of lock_unless test its condition again.
  void WakeWaiters() {
    { std::lock_guard<std::mutex> guard(m_); }
    free_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable free_;
  std::thread::id owner_;
  unsigned depth_ = 0;    // under m_
  unsigned waiters_ = 0;  // under m_
};
extern Lock& s_lock;

using LockGuard = std::lock_guard<Lock>;

// Thread cancellation is off for the lifetime of the scope, and the caller's
// state is restored at its end. A cancelled thread would otherwise unwind out
// of a wait (a lock, select, a sleep) through the library's noexcept frames,
// and the process would end.
class NoCancel {
 public:
  NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
  ~NoCancel() { pthread_setcancelstate(old_, nullptr); }
  NoCancel(const NoCancel&) = delete;
  NoCancel& operator=(const NoCancel&) = delete;

 private:
  int old_ = PTHREAD_CANCEL_ENABLE;
};

// What an exported function takes first: no cancellation, then s_lock, both
// for its whole body.
class ExportLock {
 public:
  ExportLock() : lock_(s_lock) {}
  void unlock() { lock_.unlock(); }
  void lock() { lock_.lock(); }

 private:
  NoCancel no_cancel_;
  std::unique_lock<Lock> lock_;
};

}  // namespace orna
