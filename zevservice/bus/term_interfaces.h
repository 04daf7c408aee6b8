// The in-process interfaces of the host-messaging layer: what the term, its
// receivers and the message packs offer to their owners. Same object model
// as bus_abi.h (QueryInterface, AddRef, Release first; Release deletes).
#ifndef ZEV_BUS_TERM_INTERFACES_H_
#define ZEV_BUS_TERM_INTERFACES_H_

#include <cstdint>
#include <string>

#include "bus/bus_abi.h"

namespace pubsdk {

// {3A92B4B9-795B-4828-B8C1-AA7BEB236A3B}
constexpr GUID IID_IRpcTerm = {0x3A92B4B9, 0x795B, 0x4828, {0xB8, 0xC1, 0xAA, 0x7B, 0xEB, 0x23, 0x6A, 0x3B}};
// {0AE1C0DF-BE31-4352-AB3A-87F86D4AC957}
constexpr GUID IID_IRpcTermEx = {0x0AE1C0DF, 0xBE31, 0x4352, {0xAB, 0x3A, 0x87, 0xF8, 0x6D, 0x4A, 0xC9, 0x57}};
// {74252668-870B-4C27-B69D-C6E199C6D3D5}
constexpr GUID IID_IPUBPlugin = {0x74252668, 0x870B, 0x4C27, {0xB6, 0x9D, 0xC6, 0xE1, 0x99, 0xC6, 0xD3, 0xD5}};
// {24AE3325-4FE1-4C03-8765-6C3C967D9D44}
constexpr GUID IID_IPUBPluginRun = {0x24AE3325, 0x4FE1, 0x4C03, {0x87, 0x65, 0x6C, 0x3C, 0x96, 0x7D, 0x9D, 0x44}};
// {C191093C-76B3-4339-AFD4-19F68F2999F9}
constexpr GUID IID_IReceiver = {0xC191093C, 0x76B3, 0x4339, {0xAF, 0xD4, 0x19, 0xF6, 0x8F, 0x29, 0x99, 0xF9}};
// {CB6B8713-2EB2-4D92-96CC-54461C2910F3}
constexpr GUID IID_IJsonPack = {0xCB6B8713, 0x2EB2, 0x4D92, {0x96, 0xCC, 0x54, 0x46, 0x1C, 0x29, 0x10, 0xF3}};
// {5B3A2644-8349-44FB-AC75-52680C80B27B}
constexpr GUID IID_IMsgPack = {0x5B3A2644, 0x8349, 0x44FB, {0xAC, 0x75, 0x52, 0x68, 0x0C, 0x80, 0xB2, 0x7B}};
// {8C10F7CF-5C71-4D6A-87A2-195508815163}
constexpr GUID IID_IMsgReceiver = {0x8C10F7CF, 0x5C71, 0x4D6A, {0x87, 0xA2, 0x19, 0x55, 0x08, 0x81, 0x51, 0x63}};

// A consumer of incoming messages.
struct IReceiver : IUnknownBase {
  // One message: the sender's node name (empty when unknown), the data and
  // its length. The data need not be NUL-terminated and is valid only for
  // the call.
  virtual HRESULT OnInput(const char* name, uint32_t length, const char* data) = 0;  // 3
  // Diagnostic texts for the consumer to log.
  virtual HRESULT OnOutput(const char* text) = 0;      // 4
  virtual HRESULT OnOutputLine(const char* text) = 0;  // 5
};

// A JSON object parsed from text.
struct IJsonPack : IUnknownBase {
  // E_FAIL for null or unparsable text (the pack is then empty).
  virtual HRESULT Parse(const char* text) = 0;  // 3
  // Member `key` as text / integer; false when absent or of another type.
  virtual bool GetText(const char* key, std::string* value) = 0;      // 4
  virtual bool GetInteger(const char* key, int64_t* value) = 0;        // 5
};

// A received message, as handed to a second receiver.
struct IMsgPack : IUnknownBase {
  virtual std::string GetMsgType() = 0;     // 3
  virtual int64_t GetClientId() = 0;        // 4
  virtual std::string GetClientName() = 0;  // 5
  virtual std::string GetContext() = 0;     // 6
};

// The second kind of receiver: takes whole message packs.
struct IMsgReceiver : IUnknownBase {
  virtual HRESULT OnInput(const char* name, uint32_t length, const char* data) = 0;  // 3
  virtual HRESULT OnOutput(const char* text) = 0;                                    // 4
  // The pack is the caller's; AddRef it to keep it.
  virtual HRESULT OnMessage(IMsgPack* pack) = 0;  // 5
};

struct IPUBPlugin : IUnknownBase {
  virtual HRESULT Init(int32_t flags) = 0;  // 3
  virtual HRESULT Uninit() = 0;             // 4
};

struct IPUBPluginRun : IUnknownBase {
  virtual HRESULT Start() = 0;  // 3
  virtual HRESULT Stop() = 0;   // 4
};

// One node on the bus: names, ids, the node table and sending.
struct IRpcTerm : IUnknownBase {
  virtual HRESULT SetReceiver(IReceiver* receiver) = 0;  // 3 (null: E_FAIL)
  // Sends with a time-out of 1000 ms; E_FAIL without an endpoint or when the
  // library answers negative.
  virtual HRESULT Send(uint32_t destination, uint32_t word_a, uint32_t word_b, const void* data,
                       uint32_t length) = 0;                                                // 4
  virtual HRESULT SendToAll(uint32_t word_a, uint32_t word_b, const void* data, uint32_t length) = 0;  // 5
  virtual HRESULT RefreshNodes() = 0;                                                        // 6
  virtual HRESULT BeginNodeIteration() = 0;                                                  // 7
  virtual HRESULT NextNodeId(uint32_t* node_id) = 0;                                         // 8
  virtual HRESULT GetNodeRecord(uint32_t node_id, BusNodeRecord* record) = 0;                // 9
  virtual HRESULT GetNodeIdByName(const char* name, uint32_t* node_id) = 0;                  // 10
  virtual HRESULT GetNameByNodeId(uint32_t node_id, std::string* name) = 0;                  // 11
  virtual bool HasNameForNodeId(uint32_t node_id) = 0;                                       // 12
  virtual bool HasNodeIdForName(const char* name) = 0;                                       // 13
  virtual HRESULT RefreshAndAskNames() = 0;                                                  // 14
  virtual uint32_t GetChannel() = 0;                                                         // 15
  virtual uint32_t GetMessageNumber() = 0;                                                   // 16
  virtual HRESULT SetNodeName(const char* name) = 0;                                         // 17
  virtual HRESULT SetNodeId(uint32_t node_id) = 0;                                           // 18
  virtual HRESULT SetServiceId(uint32_t service_id) = 0;                                     // 19
  virtual HRESULT SetCallCenterName(const char* name) = 0;                                   // 20
  virtual HRESULT CheckNonZero(uint32_t value) = 0;                                          // 21
};

struct IRpcTermEx : IRpcTerm {
  // Queried for IID_IMsgReceiver; E_FAIL when null or not one.
  virtual HRESULT SetSecondReceiver(IUnknownBase* receiver) = 0;  // 22
};

}  // namespace pubsdk

#endif  // ZEV_BUS_TERM_INTERFACES_H_
