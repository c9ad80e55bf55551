// TEMPORARY placeholder so the tree links while the virtual instrument is written.
#include "emulator/virtual_instrument.h"
