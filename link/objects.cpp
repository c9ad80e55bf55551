// The link's shared objects: the lock, the port, the receive thread and its buffer.
#include <cstdint>
#include <new>

#include "link/lock.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"

namespace orna {

namespace {

// The library's only deliberately leaked objects, all of them here. They are
// built in static storage and never destroyed: the receive thread, a late host
// call or the exit-time join of the receive thread may still use them while
// static objects are torn down at exit. Static storage rather than the heap,
// so that the receive buffers lie in the image the receive thread locks into
// memory (link/realtime.h). Defined in one file, so that they are built in
// this order and before the names bound to them below.
template <typename T>
struct alignas(T) Storage {
  unsigned char bytes[sizeof(T)];
};
Storage<Lock> s_LockStorage;
Storage<Port> s_PortStorage;
Storage<Receiver> s_ReceiverStorage;

}  // namespace

Lock& s_lock = *new (s_LockStorage.bytes) Lock;
Port& s_Port = *new (s_PortStorage.bytes) Port;
Receiver& s_Receiver = *new (s_ReceiverStorage.bytes) Receiver;

// Plain state with nothing to destroy: ordinary statics, constant-initialised
// before any code runs. The receive buffer lies in the image the receive
// thread locks into memory.
std::atomic<int> g_hFile{-1};
unsigned char s_USBRxData[kRxBufferSize];
unsigned char* s_DataBegin = s_USBRxData;
unsigned char* s_DataEnd = s_USBRxData;
int s_OwedBytes = 0;
std::uint64_t s_SeqErrorCounter = 0;

}  // namespace orna
