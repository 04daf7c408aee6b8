#include "xson/containers.h"

#include <cstring>
#include <new>
#include <tuple>
#include <utility>

namespace xson {
namespace {

constexpr size_t kMaxNameLength = 255;

// Names have 1 to 254 bytes: the binary form stores length + 1 in one byte,
// and a name of 255 bytes is refused.
bool ValidName(const char* name) {
  if (name == nullptr) return false;
  size_t n = strnlen(name, kMaxNameLength);
  return n >= 1 && n < kMaxNameLength;
}

template <typename T>
bool CloneInto(T* self, complex_t** out) {
  if (out == nullptr) return false;
  T* copy = new (std::nothrow) T();
  if (copy == nullptr) return false;
  if (!self->CopyTo(copy)) {
    copy->Release();
    return false;
  }
  *out = copy;
  return true;
}

}  // namespace

bool IsContainerType(uint8_t type) {
  return type == vtString8 || type == vtString16 || type == vtBuffer || type == vtArray || type == vtObject;
}

void ClearValue(value_t* value) {
  uint8_t type = TypeOf(*value);
  if (value->payload.p != nullptr) {
    if (IsContainerType(type) || type == vtComplex) static_cast<complex_t*>(value->payload.p)->Release();
    if (type == vtUnknown) static_cast<IUnknown*>(value->payload.p)->Release();
  }
  value->header = 0;
  memset(value->reserved, 0, sizeof(value->reserved));
  value->payload.i = 0;
}

bool SetValue(const value_t* source, value_t* destination) {
  if (source == destination) return true;
  uint8_t type = TypeOf(*source);
  switch (type) {
    case vtNull:
    case vtInteger:
    case vtReal:
    case vtBoolean: {
      const value_t copy = *source;
      ClearValue(destination);
      destination->header = copy.header;
      destination->payload = copy.payload;
      return true;
    }
    case vtString8:
    case vtString16:
    case vtBuffer:
    case vtArray:
    case vtObject:
    case vtComplex:
    case vtUnknown: {
      void* shared = source->payload.p;
      if (shared == nullptr && type != vtUnknown && type != vtComplex) {
        ClearValue(destination);
        return false;
      }
      // The reference is taken before the clear: the source may live inside
      // what the destination holds.
      if (shared != nullptr) {
        if (type == vtUnknown) {
          static_cast<IUnknown*>(shared)->AddRef();
        } else {
          static_cast<complex_t*>(shared)->AddRef();
        }
      }
      const uint8_t header = source->header;
      ClearValue(destination);
      destination->header = header;
      destination->payload.p = shared;
      return true;
    }
    default:
      ClearValue(destination);
      return false;
  }
}

bool SetValueType(value_t* value, uint8_t type, uint8_t size, bool keep_size) {
  if (TypeOf(*value) == type) {
    if (!keep_size) value->header = static_cast<uint8_t>(type | (size << 5));
    return true;
  }
  ClearValue(value);
  value->header = static_cast<uint8_t>(type | ((keep_size ? 0 : size) << 5));
  complex_t* container = nullptr;
  switch (type) {
    case vtString8: container = new (std::nothrow) xson_str8_t(); break;
    case vtString16: container = new (std::nothrow) xson_str16_t(); break;
    case vtBuffer: container = new (std::nothrow) xson_buffer_t(); break;
    case vtArray: container = new (std::nothrow) xson_array_t(); break;
    case vtObject: container = new (std::nothrow) xson_object_t(); break;
    default: return true;
  }
  if (container == nullptr) {
    ClearValue(value);
    return false;
  }
  value->payload.p = container;
  return true;
}

void SetInteger(value_t* value, int64_t number, uint8_t size) {
  ClearValue(value);
  value->header = static_cast<uint8_t>(vtInteger | ((size & 3) << 5));
  switch (size & 3) {
    case vs8: value->payload.i = static_cast<int8_t>(number); break;
    case vs16: value->payload.i = static_cast<int16_t>(number); break;
    case vs32: value->payload.i = static_cast<int32_t>(number); break;
    default: value->payload.i = number; break;
  }
}

int64_t GetInteger(const value_t& value) {
  switch (SizeOf(value)) {
    case vs8: return static_cast<int8_t>(value.payload.i);
    case vs16: return static_cast<int16_t>(value.payload.i);
    case vs32: return static_cast<int32_t>(value.payload.i);
    default: return value.payload.i;
  }
}

bool xson_buffer_t::Clear() {
  bytes_.clear();
  return true;
}
bool xson_buffer_t::Clone(complex_t** out) { return CloneInto(this, out); }
bool xson_buffer_t::CopyTo(complex_t* destination) {
  auto* d = dynamic_cast<xson_buffer_t*>(destination);
  if (d == nullptr) return false;
  if (d != this) d->bytes_ = bytes_;
  return true;
}
bool xson_buffer_t::Assign(const void* bytes, uint64_t length) {
  if (bytes == nullptr) return false;
  const auto* b = static_cast<const uint8_t*>(bytes);
  bytes_.assign(b, b + length);
  return true;
}
bool xson_buffer_t::Resize(uint64_t count) {
  try {
    bytes_.resize(count);
    return true;
  } catch (...) {
    return false;
  }
}

bool xson_array_t::Clear() {
  std::vector<value_t> items;
  items.swap(items_);  // released outside, in case an element holds this array
  for (value_t& v : items) ClearValue(&v);
  return true;
}
bool xson_array_t::Clone(complex_t** out) { return CloneInto(this, out); }
bool xson_array_t::CopyTo(complex_t* destination) {
  auto* d = dynamic_cast<xson_array_t*>(destination);
  if (d == nullptr) return false;
  if (d == this) return true;
  d->Clear();
  d->items_.resize(items_.size(), value_t{});
  for (size_t i = 0; i < items_.size(); ++i) SetValue(&items_[i], &d->items_[i]);
  return true;
}
value_t* xson_array_t::At(uint64_t index, bool create) {
  if (index >= items_.size()) {
    if (!create || !Resize(index + 1)) return nullptr;
  }
  return &items_[index];
}
bool xson_array_t::SetAt(uint64_t index, const value_t* value) {
  if (value == nullptr) return false;
  value_t copy = {};
  if (!SetValue(value, &copy)) return false;  // the value may live inside this array
  value_t* slot = At(index, true);
  if (slot == nullptr) {
    ClearValue(&copy);
    return false;
  }
  ClearValue(slot);
  *slot = copy;
  return true;
}
bool xson_array_t::GetAt(uint64_t index, value_t* out) {
  if (out == nullptr || index >= items_.size()) return false;
  return SetValue(&items_[index], out);
}
bool xson_array_t::RemoveAt(uint64_t index) {
  if (index >= items_.size()) return false;
  value_t removed = items_[index];
  items_.erase(items_.begin() + static_cast<long>(index));
  ClearValue(&removed);
  return true;
}
bool xson_array_t::Enumerate(array_callback callback, void* user) {
  if (callback == nullptr) return false;
  for (size_t i = 0; i < items_.size(); ++i) {
    if (!callback(i, &items_[i], i + 1 == items_.size(), user)) return false;
  }
  return true;
}
bool xson_array_t::Resize(uint64_t count) {
  try {
    if (count < items_.size()) {
      for (size_t i = count; i < items_.size(); ++i) ClearValue(&items_[i]);
    }
    items_.resize(count, value_t{});
    return true;
  } catch (...) {
    return false;
  }
}
bool xson_array_t::Append(const value_t* value) { return SetAt(items_.size(), value); }

bool xson_object_t::Clear() {
  Members members;
  members.swap(members_);
  for (auto& [name, v] : members) ClearValue(&v);
  return true;
}
bool xson_object_t::Clone(complex_t** out) { return CloneInto(this, out); }
bool xson_object_t::CopyTo(complex_t* destination) {
  auto* d = dynamic_cast<xson_object_t*>(destination);
  if (d == nullptr) return false;
  if (d == this) return true;
  d->Clear();
  for (const auto& [name, v] : members_) {
    value_t& slot = d->members_[name];
    slot = value_t{};
    SetValue(&v, &slot);
  }
  return true;
}
value_t* xson_object_t::Slot(std::string_view name) {
  // Members of the binary form come in name order: one comparison places
  // each at the end.
  auto it = members_.end();
  if (!members_.empty() && std::string_view(members_.rbegin()->first) >= name) {
    it = members_.lower_bound(name);
    if (it != members_.end() && it->first == name) return &it->second;
  }
  it = members_.emplace_hint(it, std::piecewise_construct, std::forward_as_tuple(name.data(), name.size()),
                             std::forward_as_tuple());
  return &it->second;
}
value_t* xson_object_t::Find(const char* name, bool create) {
  if (!ValidName(name)) return nullptr;
  if (create) return Slot(name);
  auto it = members_.find(std::string_view(name));
  return it == members_.end() ? nullptr : &it->second;
}
bool xson_object_t::Set(const char* name, const value_t* value) {
  if (value == nullptr || !ValidName(name)) return false;
  value_t copy = {};
  if (!SetValue(value, &copy)) return false;
  value_t* slot = Find(name, true);
  ClearValue(slot);
  *slot = copy;
  return true;
}
bool xson_object_t::Get(const char* name, value_t* out) {
  if (out == nullptr) return false;
  value_t* found = Find(name, false);
  return found != nullptr && SetValue(found, out);
}
bool xson_object_t::Remove(const char* name) {
  if (name == nullptr) return false;
  auto it = members_.find(std::string_view(name));
  if (it == members_.end()) return false;
  value_t removed = it->second;
  members_.erase(it);
  ClearValue(&removed);
  return true;
}
bool xson_object_t::Enumerate(object_callback callback, void* user) {
  if (callback == nullptr) return false;
  size_t i = 0;
  for (const auto& [name, v] : members_) {
    ++i;
    if (!callback(name.c_str(), &v, i == members_.size(), user)) return false;
  }
  return true;
}

}  // namespace xson
