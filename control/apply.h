// Apply engine.
#pragma once

namespace orna {

extern bool s_ECGGoing;          // streaming is on
extern bool _ChangeInProcess;    // the apply engine is running (re-entry guard)
extern bool _DCVariableOn;       // variable DC offset mode has been programmed
extern double _DCVariablePrev;   // offset recorded at the last run in variable mode

void _Change();

}  // namespace orna
