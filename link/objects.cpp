// The link's shared objects: the lock, the port and the receive thread.
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

std::atomic<int>& g_hFile = s_Port.fd;
unsigned char (&s_USBRxData)[kRxBufferSize] = s_Receiver.data;
unsigned char*& s_DataBegin = s_Receiver.begin;
unsigned char*& s_DataEnd = s_Receiver.end;
int& s_SeqErrorCounter = s_Receiver.seq_errors;
int& s_OwedBytes = s_Receiver.owed;
std::atomic<bool>& s_ADExchange = s_Receiver.ad_exchange;

}  // namespace orna
