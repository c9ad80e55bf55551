// Change scheduling: applies a stored setting now or at the end of the cycle.
#pragma once

namespace orna {

// After a setter stored its value: defer while streaming a waveform, else apply now.
void _ChangeRequested();

}  // namespace orna
