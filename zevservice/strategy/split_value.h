// The default value of one registry key, for texts that may outgrow the read
// limit of RegReadString.
//
// A text of at most `part_size` bytes (the read limit unless a test says
// otherwise) is the default value itself, byte for byte. A longer one is cut
// into numbered parts, the values "0", "1", ... of the subkey
// "<key>\parts\<slot>", and the default value then holds
// "#parts <slot> <count> <length>". The two slots, 1 and 2, take turns: a new
// text is written into the slot the default value does not name, and the
// default value is written last, so that its one atomic write commits all
// the parts: after a crash, or a kill at any point, the value reads back as
// the old text or the new one, never a mix. The slot no longer named is
// emptied after the commit; a slot that an earlier process may have left
// parts in is emptied before it is used, so no part outlives the next write.
//
// Not thread-safe: the owner serialises every call on one object. One
// writer per key at a time is assumed (other processes may read).
#ifndef ZEV_STRATEGY_SPLIT_VALUE_H_
#define ZEV_STRATEGY_SPLIT_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace zev {

class SplitRegistryValue {
 public:
  // `registry` must outlive this object.
  SplitRegistryValue(RegistryStore* registry, RegRoot root, std::string key,
                     size_t part_size = kRegReadLimitUnits);

  // The stored text. False when the value is missing, cannot be read, or is
  // split and a part is missing or does not add up; *text is then untouched.
  bool Read(std::string* text);
  // Stores `text` (valid UTF-8). False, with the stored text as it was, when
  // the registry refused a write.
  bool Write(const std::string& text);

  // Why the last Read or Write failed: the registry's reason, or one of this
  // format ("a part of the split value is missing", ...).
  const std::string& last_error() const { return last_error_; }
  const std::string& key() const { return key_; }

  // The subkey that holds the parts of a slot (1 or 2).
  std::string SlotKey(int slot) const;

 private:
  // What the store holds, as far as this object knows.
  static constexpr int kUnknown = -1;
  static constexpr int kPlain = 0;

  // What a slot holds, as far as this object knows. A slot's parts are
  // written from "0" up and removed all at once, so part "0" tells whether
  // there are any.
  enum class Parts { kNone, kSome, kMaybe };

  // Notes that the default value names `slot` (kPlain: no slot).
  void SawCommitted(int slot);
  // Removes the parts of `slot` unless it surely has none.
  void EmptySlot(int slot);

  RegistryStore* const registry_;
  const RegRoot root_;
  const std::string key_;
  const size_t part_size_;

  // The slot the stored default value names, kPlain or kUnknown.
  int committed_slot_ = kUnknown;
  // Per slot, index 1 and 2.
  Parts parts_[3] = {Parts::kNone, Parts::kMaybe, Parts::kMaybe};
  std::string last_error_;
};

}  // namespace zev

#endif  // ZEV_STRATEGY_SPLIT_VALUE_H_
