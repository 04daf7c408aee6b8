// CMsgPack: a received message as one parsed JSON object, for receivers of
// the second kind (IMsgReceiver).
#ifndef ZEV_BUS_MSG_PACK_H_
#define ZEV_BUS_MSG_PACK_H_

#include <memory>
#include <string>

#include "bus/ref_count.h"
#include "bus/term_interfaces.h"

namespace xson {
class xsonv_t;
}

namespace pubsdk {

class CMsgPack : public IJsonPack, public IMsgPack, public CRefCountBase {
 public:
  // Parses `text` (null or unparsable: an empty pack).
  explicit CMsgPack(const char* text);

  HRESULT QueryInterface(const GUID& iid, void** out) override;
  uint32_t AddRef() override { return AddRefImpl(); }
  uint32_t Release() override { return ReleaseImpl(); }

  HRESULT Parse(const char* text) override;
  bool GetText(const char* key, std::string* value) override;
  bool GetInteger(const char* key, int64_t* value) override;

  // Empty text / 0 for an absent member.
  std::string GetMsgType() override;
  int64_t GetClientId() override;
  std::string GetClientName() override;
  std::string GetContext() override;

 private:
  ~CMsgPack() override;

  std::unique_ptr<xson::xsonv_t> value_;
};

}  // namespace pubsdk

#endif  // ZEV_BUS_MSG_PACK_H_
