#include "strategy/split_value.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace zev {

namespace {

constexpr char kMarkerPrefix[] = "#parts ";
constexpr size_t kMarkerPrefixLength = sizeof(kMarkerPrefix) - 1;
// Whatever a damaged marker says, no more parts than this are looked for.
constexpr uint64_t kMaxParts = 1 << 16;
// A part must hold at least one character of up to four bytes.
constexpr size_t kMinPartSize = 4;

bool IsMarker(const std::string& text) { return text.compare(0, kMarkerPrefixLength, kMarkerPrefix) == 0; }

bool ParseMarker(const std::string& text, int* slot, uint64_t* count, uint64_t* length) {
  char tail = 0;
  return sscanf(text.c_str() + kMarkerPrefixLength, "%d %" SCNu64 " %" SCNu64 "%c", slot, count, length, &tail) ==
             3 &&
         (*slot == 1 || *slot == 2) && *count > 0 && *count <= kMaxParts;
}

// Where a part of at most `limit` bytes that starts at `offset` ends: on a
// character boundary, so that it never holds more UTF-16 units than bytes.
size_t PartEnd(const std::string& text, size_t offset, size_t limit) {
  size_t end = offset + std::min(limit, text.size() - offset);
  while (end < text.size() && end > offset && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return end;
}

bool IsMissing() { return RegLastError() == "the key does not exist" || RegLastError() == "the value does not exist"; }

}  // namespace

SplitRegistryValue::SplitRegistryValue(RegistryStore* registry, RegRoot root, std::string key, size_t part_size)
    : registry_(registry), root_(root), key_(std::move(key)), part_size_(std::max(part_size, kMinPartSize)) {}

std::string SplitRegistryValue::SlotKey(int slot) const { return key_ + "\\parts\\" + std::to_string(slot); }

void SplitRegistryValue::SawCommitted(int slot) {
  if (committed_slot_ > kPlain && committed_slot_ != slot) parts_[committed_slot_] = Parts::kSome;
  if (slot > kPlain) parts_[slot] = Parts::kSome;
  committed_slot_ = slot;
}

void SplitRegistryValue::EmptySlot(int slot) {
  if (parts_[slot] == Parts::kMaybe) {
    // A probe by name is a point lookup; removing a key tree scans the root.
    std::string first;
    bool any = registry_->ReadString(root_, SlotKey(slot), "0", &first);
    if (!any && !IsMissing()) return;  // the store failed; tried again next time
    parts_[slot] = any ? Parts::kSome : Parts::kNone;
  }
  if (parts_[slot] == Parts::kSome && (registry_->DeleteTree(root_, SlotKey(slot)) || IsMissing())) {
    parts_[slot] = Parts::kNone;
  }
}

bool SplitRegistryValue::Read(std::string* text) {
  last_error_.clear();
  std::string head;
  if (!registry_->ReadString(root_, key_, "", &head)) {
    last_error_ = RegLastError();
    return false;
  }
  if (!IsMarker(head)) {
    SawCommitted(kPlain);
    *text = std::move(head);
    return true;
  }
  int slot = 0;
  uint64_t count = 0, length = 0;
  if (!ParseMarker(head, &slot, &count, &length)) {
    last_error_ = "the marker of the split value is damaged";
    return false;
  }
  SawCommitted(slot);
  const std::string slot_key = SlotKey(slot);
  std::string whole;
  for (uint64_t i = 0; i < count && whole.size() <= length; ++i) {
    std::string piece;
    if (!registry_->ReadString(root_, slot_key, std::to_string(i), &piece)) {
      last_error_ = "a part of the split value is missing: " + RegLastError();
      return false;
    }
    if (whole.empty()) whole.reserve(std::min<uint64_t>(length, piece.size() * count));
    whole += piece;
  }
  if (whole.size() != length) {
    last_error_ = "the parts of the split value do not add up to its length";
    return false;
  }
  *text = std::move(whole);
  return true;
}

bool SplitRegistryValue::Write(const std::string& text) {
  last_error_.clear();
  if (committed_slot_ == kUnknown) {
    // Which slot the stored value names decides where the new parts may go.
    std::string head;
    int slot = kPlain;
    uint64_t count = 0, length = 0;
    if (registry_->ReadString(root_, key_, "", &head) && IsMarker(head) && !ParseMarker(head, &slot, &count, &length)) {
      slot = kPlain;
    }
    SawCommitted(slot);
  }

  // A short text that looks like a marker is split too, so that reading
  // never mistakes it for one.
  if (text.size() <= part_size_ && !IsMarker(text)) {
    if (!registry_->WriteString(root_, key_, "", text)) {
      last_error_ = RegLastError();
      return false;
    }
    SawCommitted(kPlain);
    EmptySlot(1);
    EmptySlot(2);
    return true;
  }

  const int slot = committed_slot_ == 1 ? 2 : 1;
  const std::string slot_key = SlotKey(slot);
  // Parts of an earlier attempt beyond the new count would stay otherwise.
  EmptySlot(slot);
  parts_[slot] = Parts::kSome;
  size_t count = 0;
  for (size_t offset = 0; offset < text.size(); ++count) {
    size_t end = PartEnd(text, offset, part_size_);
    if (end == offset) {
      last_error_ = "the text is not valid UTF-8";
      return false;
    }
    if (!registry_->WriteString(root_, slot_key, std::to_string(count), text.substr(offset, end - offset))) {
      last_error_ = RegLastError();
      return false;
    }
    offset = end;
  }
  // Nothing refers to the new parts until the marker is in: until then the
  // old text stands whole.
  std::string marker = kMarkerPrefix + std::to_string(slot) + " " + std::to_string(count) + " " +
                       std::to_string(text.size());
  if (!registry_->WriteString(root_, key_, "", marker)) {
    last_error_ = RegLastError();
    return false;
  }
  SawCommitted(slot);
  EmptySlot(slot == 1 ? 2 : 1);
  return true;
}

}  // namespace zev
