// The host's callbacks: pointers installed by the four Register functions.
#include "generator/packet_builder.h"
#include "link/lock.h"
#include "orna.h"

namespace orna {

ORNA_TimeAmpCB g_GraphCB;
ORNA_TimeAmpCB g_PacingGraphCB;
ORNA_SyncFreqCB g_SyncFreqCB;
ORNA_SyncMainFuncCB g_SyncMainFuncCB;

}  // namespace orna

using orna::LockGuard;
using orna::ExportLock;

extern "C" {

void RegisterTimeAmpCB(ORNA_TimeAmpCB cb) noexcept {
  ExportLock lock;
  orna::g_GraphCB = cb;
}

void RegisterPacingTimeAmpCB(ORNA_TimeAmpCB cb) noexcept {
  ExportLock lock;
  orna::g_PacingGraphCB = cb;
}

void RegisterSyncFreqCB(ORNA_SyncFreqCB cb) noexcept {
  ExportLock lock;
  orna::g_SyncFreqCB = cb;
}

void RegisterSyncMainFuncCB(ORNA_SyncMainFuncCB cb) noexcept {
  ExportLock lock;
  orna::g_SyncMainFuncCB = cb;
}

}  // extern "C"
