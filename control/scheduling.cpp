// Change scheduling: while a waveform streams, a change waits for the end of
// its current cycle so that the derived values only change between cycles.
#include "control/scheduling.h"

#include "control/apply.h"
#include "generator/settings.h"

namespace orna {

void _ChangeRequested() {
  // g_MainOutput is read after the setter stored it: selecting output 0 while
  // streaming is applied at once and so stops the stream without delay.
  if (s_ECGGoing && g_MainOutput != 0) {
    s_ChangeOnNextCycle = true;
    return;
  }
  // Inside the engine (e.g. from a callback it fired, or a scan that ends in
  // the first packet) the change cannot run now: the engine runs it once more
  // when it finishes.
  _ApplyAtOnce();
}

}  // namespace orna
