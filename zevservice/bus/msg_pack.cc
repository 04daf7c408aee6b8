#include "bus/msg_pack.h"

#include "xson/xsonv.h"

namespace pubsdk {

CMsgPack::CMsgPack(const char* text) : value_(new xson::xsonv_t) { Parse(text); }

CMsgPack::~CMsgPack() = default;

HRESULT CMsgPack::QueryInterface(const GUID& iid, void** out) {
  if (out == nullptr) return kE_POINTER;
  if (iid == IID_IUnknown || iid == IID_IJsonPack) {
    *out = static_cast<IJsonPack*>(this);
  } else if (iid == IID_IMsgPack) {
    *out = static_cast<IMsgPack*>(this);
  } else {
    *out = nullptr;
    return kE_NOINTERFACE;
  }
  AddRefImpl();
  return kS_OK;
}

HRESULT CMsgPack::Parse(const char* text) {
  if (text == nullptr) {
    value_.reset(new xson::xsonv_t);
    return kE_FAIL;
  }
  if (!value_->from_json(text) || value_->type() != xson::vtObject) {
    value_.reset(new xson::xsonv_t);
    return kE_FAIL;
  }
  return kS_OK;
}

bool CMsgPack::GetText(const char* key, std::string* value) {
  if (key == nullptr || value_->type() != xson::vtObject) return false;
  xson::xsonv_t member;
  if (!value_->object()->Get(key, member.get()) || member.type() != xson::vtString8) return false;
  *value = member.string();
  return true;
}

bool CMsgPack::GetInteger(const char* key, int64_t* value) {
  if (key == nullptr || value_->type() != xson::vtObject) return false;
  xson::xsonv_t member;
  if (!value_->object()->Get(key, member.get()) || member.type() != xson::vtInteger) return false;
  *value = member.integer();
  return true;
}

std::string CMsgPack::GetMsgType() {
  std::string text;
  GetText("msgtype", &text);
  return text;
}

int64_t CMsgPack::GetClientId() {
  int64_t id = 0;
  GetInteger("clientid", &id);
  return id;
}

std::string CMsgPack::GetClientName() {
  std::string text;
  GetText("clientname", &text);
  return text;
}

std::string CMsgPack::GetContext() {
  std::string text;
  GetText("context", &text);
  return text;
}

}  // namespace pubsdk
