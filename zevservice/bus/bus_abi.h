// The binary interface between the service and the message-bus library
// libzevrpc.so. Both sides compile this header; the library is loaded at run
// time, so every layout and slot number below is a contract that must not
// move.
//
// Objects follow a COM-like model: each interface starts with QueryInterface,
// AddRef and Release (slots 0, 1, 2), results are 32-bit HRESULT-style codes,
// and Release deletes the object when its count drops to zero. Interfaces
// are pure virtual classes whose slots are the order of their declarations;
// they have no virtual destructor, since one would take slots.
//
// Operation numbers used by the service: call center 10 (open an endpoint)
// and 12 (release it); endpoint 7 (send) and 13/15/14 (list the live nodes);
// message 15 (header). The other slots are the library's own.
#ifndef ZEV_BUS_BUS_ABI_H_
#define ZEV_BUS_BUS_ABI_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pubsdk {

using HRESULT = int32_t;

constexpr HRESULT kS_OK = 0;
constexpr HRESULT kS_FALSE = 1;
constexpr HRESULT kE_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT kE_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT kE_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT kE_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT kE_INVALIDARG = static_cast<HRESULT>(0x80070057u);

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// {00000000-0000-0000-C000-000000000046}
constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {C1A93C08-C16B-45B6-987C-12404DCAC0A6}
constexpr GUID IID_IBusCallCenter = {0xC1A93C08, 0xC16B, 0x45B6, {0x98, 0x7C, 0x12, 0x40, 0x4D, 0xCA, 0xC0, 0xA6}};
// {42200720-B779-4EA7-A9F7-0BB1F634A2E3}
constexpr GUID IID_IBusEndpoint = {0x42200720, 0xB779, 0x4EA7, {0xA9, 0xF7, 0x0B, 0xB1, 0xF6, 0x34, 0xA2, 0xE3}};
// {8C6CD375-DE70-4053-98BE-0DCA5256F59E}
constexpr GUID IID_IMessageCallBack = {0x8C6CD375, 0xDE70, 0x4053, {0x98, 0xBE, 0x0D, 0xCA, 0x52, 0x56, 0xF5, 0x9E}};

struct IUnknownBase {
  virtual HRESULT QueryInterface(const GUID& iid, void** out) = 0;  // 0
  virtual uint32_t AddRef() = 0;                                      // 1
  virtual uint32_t Release() = 0;                                     // 2
};

// What the library hands a node's callback for each delivered message.
// `data` stays valid only for the duration of the callback.
struct BusMessageHeader {
  uint32_t length;       // byte 0: number of data bytes
  uint32_t source;       // sender's node id
  uint32_t destination;  // receiver's node id (the callback's own)
  uint32_t word_a;
  uint32_t word_b;
  uint32_t channel;
  uint8_t reserved[24];
  const uint8_t* data;  // byte 48
};
static_assert(offsetof(BusMessageHeader, length) == 0, "length at byte 0");
static_assert(offsetof(BusMessageHeader, data) == 48, "data pointer at byte 48");

// One live node as the listing gives it: 180 bytes, node id at byte 12.
struct BusNodeRecord {
  uint32_t record_size;  // 180
  uint32_t channel;      // 0 when unknown
  int32_t pid;           // the holder's process id, 0 when unknown
  uint32_t node_id;      // byte 12
  uint32_t flags;        // bit 0: this is the listing endpoint's own node
  char socket_path[160];  // NUL-terminated; may be cut
};
static_assert(sizeof(BusNodeRecord) == 180, "node records are 180 bytes");
static_assert(offsetof(BusNodeRecord, node_id) == 12, "node id at byte 12");

// One message as seen by a callback; valid for the duration of the callback
// only (AddRef does not extend the data's life).
struct IBusMessage : IUnknownBase {
  virtual uint32_t GetSource() = 0;       // 3
  virtual uint32_t GetDestination() = 0;  // 4
  virtual uint32_t GetWordA() = 0;        // 5
  virtual uint32_t GetWordB() = 0;        // 6
  virtual uint32_t GetChannel() = 0;      // 7
  virtual uint32_t GetLength() = 0;       // 8
  virtual const uint8_t* GetData() = 0;   // 9
  virtual HRESULT Reserved10() = 0;       // 10
  virtual HRESULT Reserved11() = 0;       // 11
  virtual HRESULT Reserved12() = 0;       // 12
  virtual HRESULT Reserved13() = 0;       // 13
  virtual HRESULT Reserved14() = 0;       // 14
  // Fills *header; negative when header is null.
  virtual HRESULT GetHeader(BusMessageHeader* header) = 0;  // 15
};

// Implemented by the library's user; called on the library's dispatch
// thread, one message at a time per endpoint.
struct IMessageCallBack : IUnknownBase {
  virtual HRESULT OnMessage(IBusMessage* message) = 0;  // 3
};

// A node's place on the bus. Owned by its call center: released with the
// call center's operation 12, never with Release alone.
struct IBusEndpoint : IUnknownBase {
  virtual uint32_t GetNodeId() = 0;     // 3
  virtual uint32_t GetChannel() = 0;    // 4
  virtual HRESULT Reserved5() = 0;      // 5
  virtual HRESULT Reserved6() = 0;      // 6
  // Delivers `length` bytes to node `destination` and waits (up to
  // `timeout_ms`) for its acknowledgement. Non-negative on success;
  // kBusErrNoNode when the node is not there, kBusErrTooLarge above
  // kBusMaxMessage, kBusErrInboxFull when the receiver's inbox is full,
  // kBusErrTimeout, kBusErrIo otherwise.
  virtual HRESULT Send(uint32_t destination, uint32_t word_a, uint32_t word_b, const void* data, uint32_t length,
                       uint32_t timeout_ms) = 0;  // 7
  virtual HRESULT Reserved8() = 0;   // 8
  virtual HRESULT Reserved9() = 0;   // 9
  virtual HRESULT Reserved10() = 0;  // 10
  virtual HRESULT Reserved11() = 0;  // 11
  virtual HRESULT Reserved12() = 0;  // 12
  // Takes a snapshot of the live nodes and sets *cursor to its first record.
  // Negative on failure. The snapshot lives in the endpoint until the next
  // BeginNodes; a cursor of an older snapshot reads as the end.
  virtual HRESULT BeginNodes(uint64_t* cursor) = 0;  // 13
  // Moves *cursor to the next record; non-zero at the end.
  virtual HRESULT NextNode(uint64_t* cursor) = 0;  // 14
  // Copies the record under `cursor`; non-zero at the end.
  virtual HRESULT GetNode(uint64_t cursor, BusNodeRecord* record) = 0;  // 15
};

struct IBusCallCenter : IUnknownBase {
  virtual HRESULT Reserved3() = 0;  // 3
  virtual HRESULT Reserved4() = 0;  // 4
  virtual HRESULT Reserved5() = 0;  // 5
  virtual HRESULT Reserved6() = 0;  // 6
  virtual HRESULT Reserved7() = 0;  // 7
  virtual HRESULT Reserved8() = 0;  // 8
  virtual HRESULT Reserved9() = 0;  // 9
  // Joins the bus as `node_id`: takes the node's lock, listens on its socket
  // and starts its threads. Null when the id is held (by anyone, this process
  // included), when `callback` is null or when the bus folder cannot be used.
  // The call center AddRefs `callback` and releases it after the endpoint is
  // closed.
  virtual IBusEndpoint* OpenEndpoint(uint32_t node_id, uint32_t channel, IMessageCallBack* callback) = 0;  // 10
  virtual HRESULT Reserved11() = 0;  // 11
  // Closes the endpoint: stops and joins its threads (no callback runs after
  // this returns), unlinks its socket and lock file and frees it.
  virtual HRESULT ReleaseEndpoint(IBusEndpoint* endpoint) = 0;  // 12
};

// Send answers below kS_OK.
constexpr HRESULT kBusErrNoNode = -2;
constexpr HRESULT kBusErrTooLarge = -3;
constexpr HRESULT kBusErrInboxFull = -4;
constexpr HRESULT kBusErrTimeout = -5;
constexpr HRESULT kBusErrIo = -6;
constexpr HRESULT kBusErrArgument = -7;

// Largest message the bus carries; checked before anything is allocated.
constexpr uint32_t kBusMaxMessage = 16u * 1024 * 1024;

// The one interface version PUB_InitializeCallCenter accepts.
constexpr int32_t kBusAbiVersion = 3;

}  // namespace pubsdk

// The library's exports (C linkage). PUB_InitializeCallCenter answers a new
// call center (reference count 1) for the bus below `data_dir`
// (<data_dir>/run/bus), or null for a null argument, a version other than
// kBusAbiVersion or a folder that cannot be made private. The call center's
// name only labels it. PUB_UninitializeCallCenter releases every endpoint
// still open and then the call center.
extern "C" {
typedef pubsdk::IBusCallCenter* (*PUB_InitializeCallCenterFn)(const char* call_center_name, const char* data_dir,
                                                               int32_t version);
typedef pubsdk::HRESULT (*PUB_UninitializeCallCenterFn)(pubsdk::IBusCallCenter* call_center);
typedef pubsdk::IBusCallCenter* (*PUB_AllocateCallCenterFn)(const char* call_center_name);
typedef pubsdk::HRESULT (*PUB_FreeCallCenterFn)(pubsdk::IBusCallCenter* call_center);
typedef pubsdk::HRESULT (*PUB_ShutDownFn)();
}

#endif  // ZEV_BUS_BUS_ABI_H_
