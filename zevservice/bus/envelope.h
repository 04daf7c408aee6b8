// The JSON envelope that carries every message between the monitor and its
// hosts, the name-exchange messages, and the CRC that turns node names into
// node ids.
#ifndef ZEV_BUS_ENVELOPE_H_
#define ZEV_BUS_ENVELOPE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace pubsdk {

// CRC-32 (zlib's crc32) with the running value started at 1: "abc" gives
// 0x34E62BF5. Node ids and the service id are this CRC of their names.
uint32_t NameCrc(const std::string& text);

// CRC of msgtype + "----" + tick in decimal.
uint32_t MessageId(const std::string& msgtype, uint32_t tick);

// The envelope's JSON text: clientname, dstnodename, clientid (CRC of the
// sender), msgtype, msgid (MessageId with `tick`), context (payload in
// base64), contextlen (length of that text) and base64 1.
std::string BuildEnvelope(const std::string& sender, const std::string& destination, const std::string& msgtype,
                          const std::string& payload, uint32_t tick);

struct Envelope {
  std::string clientname;
  std::string dstnodename;
  int64_t clientid = 0;
  std::string msgtype;
  int64_t msgid = 0;
  std::string context;
  int64_t contextlen = -1;
  int64_t base64 = 0;
};

// Reads the members of a JSON object; absent members keep their defaults
// and members of another type count as absent. False when `text` is not a
// JSON object.
bool ParseEnvelope(const std::string& text, Envelope* envelope);

// Checks an envelope addressed to `node_name`: the destination matches,
// base64 is 1, contextlen equals the context's length and the context is
// valid base64 that decodes completely. On success the payload is in
// *payload; otherwise *why says what was wrong.
bool OpenEnvelope(const Envelope& envelope, const std::string& node_name, std::string* payload, std::string* why);

// The name-exchange message: msgtype ("get_client_info" or
// "anw_client_info"), clientid and clientname.
std::string BuildNameMessage(const std::string& msgtype, uint32_t node_id, const std::string& node_name);

// True for a name-exchange message (its text may end with NUL bytes). The
// term answers these itself; consumers see them too and may skip them.
bool IsNameExchange(const char* data, size_t length);

// What a host sends to the node that asked it to start a component it does
// not run (no install folder, an entry point it refuses, no way to run it).
// A node that does not know the msgtype drops the message.
extern const char kStartRefusedMsgType[];  // "startrefused"

struct StartRefusal {
  std::string app_code;
  std::string component_id;
  std::string version;
  std::string reason;
};

// The payload of kStartRefusedMsgType: the three names and the reason, each
// ended by a NUL but the reason, which comes last and may hold anything. The
// host checked that the names hold no NUL; one that does is cut there.
std::string BuildStartRefusal(const StartRefusal& refusal);
// Reads such a payload; false when it holds fewer than three NULs or a name
// is empty.
bool ParseStartRefusal(const std::string& payload, StartRefusal* out);

// What a host sends to the node that started a component each time that
// component's own process ends while it was not asked to stop. A node that
// does not know the msgtype drops the message.
extern const char kComponentEndedMsgType[];  // "componentended"

struct ComponentEnd {
  std::string app_code;
  std::string component_id;
  std::string version;
  int exit_code = 0;  // the exit status; 0 when a signal ended it
  int signal = 0;     // the signal that ended it; 0 when it exited
};

// The payload of kComponentEndedMsgType: the three names, each ended by a
// NUL, then "exit N" or "signal N".
std::string BuildComponentEnd(const ComponentEnd& end);
// False when a name is missing or empty, or the end is not one of those two
// texts with N from 0 to 255.
bool ParseComponentEnd(const std::string& payload, ComponentEnd* out);

}  // namespace pubsdk

#endif  // ZEV_BUS_ENVELOPE_H_
