#include "link/lock.h"

namespace orna {

// Never destroyed: the receive thread or a late caller may still touch it while
// static objects are torn down at exit.
Lock& s_lock = *new Lock;

}  // namespace orna
