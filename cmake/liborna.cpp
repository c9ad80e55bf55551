// The shared library is orna_core linked whole; this file only makes sure the
// public header compiles on its own.
#include "orna.h"
