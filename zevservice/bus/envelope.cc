#include "bus/envelope.h"

#include <zlib.h>

#include "base/base64.h"
#include "xson/xsonv.h"

namespace pubsdk {

namespace {

void SetText(xson::xsonv_t* object, const char* key, const std::string& text) {
  xson::xsonv_t value;
  value.set_string(text);
  object->set_member(key, value);
}

void SetInteger(xson::xsonv_t* object, const char* key, int64_t number) {
  xson::xsonv_t value;
  value.set_int(number);
  object->set_member(key, value);
}

bool GetText(xson::xsonv_t* object, const char* key, std::string* text) {
  xson::xsonv_t value;
  if (!object->object()->Get(key, value.get()) || value.type() != xson::vtString8) return false;
  *text = value.string();
  return true;
}

bool GetInteger(xson::xsonv_t* object, const char* key, int64_t* number) {
  xson::xsonv_t value;
  if (!object->object()->Get(key, value.get()) || value.type() != xson::vtInteger) return false;
  *number = value.integer();
  return true;
}

}  // namespace

uint32_t NameCrc(const std::string& text) {
  uLong crc = 1;
  const auto* bytes = reinterpret_cast<const Bytef*>(text.data());
  size_t left = text.size();
  // crc32 takes a uInt length; names are short but the loop keeps any text whole.
  while (left > 0) {
    uInt chunk = left > (1u << 30) ? (1u << 30) : static_cast<uInt>(left);
    crc = crc32(crc, bytes, chunk);
    bytes += chunk;
    left -= chunk;
  }
  return static_cast<uint32_t>(crc);
}

uint32_t MessageId(const std::string& msgtype, uint32_t tick) {
  return NameCrc(msgtype + "----" + std::to_string(tick));
}

std::string BuildEnvelope(const std::string& sender, const std::string& destination, const std::string& msgtype,
                          const std::string& payload, uint32_t tick) {
  xson::xsonv_t object;
  object.set_type(xson::vtObject);
  std::string context = zev::Base64Encode(payload);
  SetText(&object, "clientname", sender);
  SetText(&object, "dstnodename", destination);
  SetInteger(&object, "clientid", NameCrc(sender));
  SetText(&object, "msgtype", msgtype);
  SetInteger(&object, "msgid", MessageId(msgtype, tick));
  SetText(&object, "context", context);
  SetInteger(&object, "contextlen", static_cast<int64_t>(context.size()));
  SetInteger(&object, "base64", 1);
  return object.to_json();
}

bool ParseEnvelope(const std::string& text, Envelope* envelope) {
  xson::xsonv_t object;
  if (!object.from_json(text) || object.type() != xson::vtObject) return false;
  Envelope out;
  GetText(&object, "clientname", &out.clientname);
  GetText(&object, "dstnodename", &out.dstnodename);
  GetInteger(&object, "clientid", &out.clientid);
  GetText(&object, "msgtype", &out.msgtype);
  GetInteger(&object, "msgid", &out.msgid);
  GetText(&object, "context", &out.context);
  GetInteger(&object, "contextlen", &out.contextlen);
  GetInteger(&object, "base64", &out.base64);
  *envelope = std::move(out);
  return true;
}

bool OpenEnvelope(const Envelope& envelope, const std::string& node_name, std::string* payload, std::string* why) {
  if (envelope.dstnodename != node_name) {
    *why = "addressed to \"" + envelope.dstnodename + "\", not to this node";
    return false;
  }
  if (envelope.base64 != 1) {
    *why = "base64 flag is " + std::to_string(envelope.base64);
    return false;
  }
  if (envelope.contextlen < 0 || static_cast<uint64_t>(envelope.contextlen) != envelope.context.size()) {
    *why = "contextlen " + std::to_string(envelope.contextlen) + " but the context holds " +
           std::to_string(envelope.context.size()) + " characters";
    return false;
  }
  // Decoding stops at the first character outside the alphabet; only a
  // canonical text encodes back to itself, so this also rejects stray
  // characters, bad padding and a cut-off tail.
  std::string bytes = zev::Base64Decode(envelope.context);
  if (zev::Base64Encode(bytes) != envelope.context) {
    *why = "context is not complete base64";
    return false;
  }
  *payload = std::move(bytes);
  return true;
}

std::string BuildNameMessage(const std::string& msgtype, uint32_t node_id, const std::string& node_name) {
  xson::xsonv_t object;
  object.set_type(xson::vtObject);
  SetText(&object, "msgtype", msgtype);
  SetInteger(&object, "clientid", node_id);
  SetText(&object, "clientname", node_name);
  return object.to_json();
}

bool IsNameExchange(const char* data, size_t length) {
  if (data == nullptr) return false;
  while (length > 0 && data[length - 1] == '\0') --length;
  Envelope envelope;
  if (!ParseEnvelope(std::string(data, length), &envelope)) return false;
  return envelope.msgtype == "get_client_info" || envelope.msgtype == "anw_client_info";
}

namespace {

// The three names of a component, each ended by a NUL, as the host's
// messages about one component begin.
std::string NamesPrefix(const std::string& app_code, const std::string& component_id, const std::string& version) {
  std::string payload;
  for (const std::string* name : {&app_code, &component_id, &version}) {
    payload += name->c_str();
    payload.push_back('\0');
  }
  return payload;
}

// Reads the three names back; the offset of what follows, or npos when a
// name is missing or empty.
size_t ReadNames(const std::string& payload, std::string* app_code, std::string* component_id,
                 std::string* version) {
  size_t start = 0;
  for (std::string* name : {app_code, component_id, version}) {
    const size_t nul = payload.find('\0', start);
    if (nul == std::string::npos || nul == start) return std::string::npos;
    name->assign(payload, start, nul - start);
    start = nul + 1;
  }
  return start;
}

}  // namespace

const char kStartRefusedMsgType[] = "startrefused";

std::string BuildStartRefusal(const StartRefusal& refusal) {
  return NamesPrefix(refusal.app_code, refusal.component_id, refusal.version) + refusal.reason;
}

bool ParseStartRefusal(const std::string& payload, StartRefusal* out) {
  const size_t start = ReadNames(payload, &out->app_code, &out->component_id, &out->version);
  if (start == std::string::npos) return false;
  out->reason = payload.substr(start);
  return true;
}

const char kComponentEndedMsgType[] = "componentended";

std::string BuildComponentEnd(const ComponentEnd& end) {
  return NamesPrefix(end.app_code, end.component_id, end.version) + (end.signal != 0 ? "signal " + std::to_string(end.signal) : "exit " + std::to_string(end.exit_code));
}

bool ParseComponentEnd(const std::string& payload, ComponentEnd* out) {
  ComponentEnd end;
  const size_t start = ReadNames(payload, &end.app_code, &end.component_id, &end.version);
  if (start == std::string::npos) return false;
  const std::string how = payload.substr(start);
  const size_t blank = how.find(' ');
  if (blank == std::string::npos) return false;
  const std::string kind = how.substr(0, blank);
  const std::string digits = how.substr(blank + 1);
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const int value = std::stoi(digits);
  if (value > 255) return false;
  if (kind == "exit") {
    end.exit_code = value;
  } else if (kind == "signal" && value > 0) {
    end.signal = value;
  } else {
    return false;
  }
  *out = std::move(end);
  return true;
}

}  // namespace pubsdk
