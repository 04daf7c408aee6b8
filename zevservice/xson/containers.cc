#include "xson/containers.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "platform/annotated_mutex.h"

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

namespace {

// Chunks of Arena::kChunkBytes that arenas gave back. Never destroyed: a
// value may be cleared while the program's statics are being destroyed.
class ChunkCache {
 public:
  static ChunkCache& Get() {
    static ChunkCache* cache = new ChunkCache;
    return *cache;
  }
  void* Take() {
    zev::MutexLock lock(&mu_);
    if (free_ == nullptr) return nullptr;
    Free* chunk = free_;
    free_ = chunk->next;
    --count_;
    return chunk;
  }
  // False when the cache is full.
  bool Put(void* chunk) {
    zev::MutexLock lock(&mu_);
    if (count_ >= Arena::kCachedChunks) return false;
    free_ = new (chunk) Free{free_};
    ++count_;
    return true;
  }

 private:
  struct Free {
    Free* next;
  };
  zev::Mutex mu_;
  Free* free_ GUARDED_BY(mu_) = nullptr;
  size_t count_ GUARDED_BY(mu_) = 0;
};

}  // namespace

Arena::Arena(size_t input) {
  // Containers take about four times the bytes of the text they come from.
  size_t want = input < kChunkBytes / 4 ? input * 4 : kChunkBytes;
  first_bytes_ = want < 256 ? 256 : want;
}

Arena::~Arena() {
  while (chunks_ != nullptr) {
    Chunk* next = chunks_->next;
    if (chunks_->size != kChunkBytes || !ChunkCache::Get().Put(chunks_)) ::operator delete(chunks_);
    chunks_ = next;
  }
}

void Arena::Grow(size_t bytes) {
  size_t size = chunks_ == nullptr ? first_bytes_ : kChunkBytes;
  void* memory = nullptr;
  if (bytes > size - sizeof(Chunk)) {
    size = bytes + sizeof(Chunk);  // a large request gets a chunk of its own
  } else if (size == kChunkBytes) {
    memory = ChunkCache::Get().Take();
  }
  if (memory == nullptr) memory = ::operator new(size);
  auto* chunk = new (memory) Chunk{chunks_, size};
  chunks_ = chunk;
  next_ = reinterpret_cast<char*>(chunk) + sizeof(Chunk);
  limit_ = reinterpret_cast<char*>(chunk) + size;
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

xson_array_t* xson_array_t::Make(Arena* arena, const value_t* items, size_t count) {
  void* at = arena->Allocate(sizeof(xson_array_t) + count * sizeof(value_t));
  auto* a = new (at) xson_array_t(arena);
  a->items_ = reinterpret_cast<value_t*>(a + 1);
  if (count > 0) memcpy(static_cast<void*>(a->items_), items, count * sizeof(value_t));
  a->size_ = a->capacity_ = count;
  return a;
}
xson_array_t::~xson_array_t() { Clear(); }
bool xson_array_t::Clear() {
  // Released outside, in case an element holds this array.
  value_t* items = items_;
  const size_t size = size_;
  const bool heap = heap_;
  items_ = nullptr;
  size_ = capacity_ = 0;
  heap_ = false;
  for (size_t i = 0; i < size; ++i) ClearValue(&items[i]);
  if (heap) ::operator delete(items);
  return true;
}
bool xson_array_t::Clone(complex_t** out) { return CloneInto(this, out); }
bool xson_array_t::CopyTo(complex_t* destination) {
  auto* d = dynamic_cast<xson_array_t*>(destination);
  if (d == nullptr) return false;
  if (d == this) return true;
  d->Clear();
  if (!d->Resize(size_)) return false;
  for (size_t i = 0; i < size_; ++i) SetValue(&items_[i], &d->items_[i]);
  return true;
}
bool xson_array_t::Reserve(size_t count) {
  if (count <= capacity_) return true;
  if (count > SIZE_MAX / 2 / sizeof(value_t)) return false;
  size_t grown = capacity_ * 2 > count ? capacity_ * 2 : count;
  auto* items = static_cast<value_t*>(::operator new(grown * sizeof(value_t), std::nothrow));
  if (items == nullptr) return false;
  if (size_ > 0) memcpy(static_cast<void*>(items), items_, size_ * sizeof(value_t));
  if (heap_) ::operator delete(items_);
  items_ = items;
  capacity_ = grown;
  heap_ = true;
  return true;
}
value_t* xson_array_t::At(uint64_t index, bool create) {
  if (index >= size_) {
    if (!create || index == UINT64_MAX || !Resize(index + 1)) return nullptr;
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
  if (out == nullptr || index >= size_) return false;
  return SetValue(&items_[index], out);
}
bool xson_array_t::RemoveAt(uint64_t index) {
  if (index >= size_) return false;
  value_t removed = items_[index];
  memmove(static_cast<void*>(items_ + index), items_ + index + 1, (size_ - index - 1) * sizeof(value_t));
  --size_;
  ClearValue(&removed);
  return true;
}
bool xson_array_t::Enumerate(array_callback callback, void* user) {
  if (callback == nullptr) return false;
  for (size_t i = 0; i < size_; ++i) {
    if (!callback(i, &items_[i], i + 1 == size_, user)) return false;
  }
  return true;
}
bool xson_array_t::Resize(uint64_t count) {
  if (count < size_) {
    for (size_t i = count; i < size_; ++i) ClearValue(&items_[i]);
  } else if (count > size_) {
    if (!Reserve(static_cast<size_t>(count))) return false;
    memset(static_cast<void*>(items_ + size_), 0, (count - size_) * sizeof(value_t));
  }
  size_ = static_cast<size_t>(count);
  return true;
}
bool xson_array_t::Append(const value_t* value) { return SetAt(size_, value); }

namespace {

// Fills the member at `at` (Member::Bytes(name.size()) bytes) with `name`
// and an empty value.
Member* PlaceMember(void* at, std::string_view name, bool heap) {
  auto* m = static_cast<Member*>(at);
  m->value = value_t{};
  m->length = static_cast<uint8_t>(name.size());
  m->heap = heap;
  memcpy(m->name, name.data(), name.size());
  m->name[name.size()] = '\0';
  return m;
}

}  // namespace

Member* Member::New(std::string_view name) {
  return PlaceMember(::operator new(Bytes(name.size())), name, true);
}
Member* Member::Make(Arena* arena, std::string_view name) {
  return PlaceMember(arena->Allocate(Bytes(name.size())), name, false);
}

xson_object_t* xson_object_t::Make(Arena* arena, Member** members, size_t count) {
  // Readers mostly meet names in order already.
  bool ordered = true;
  for (size_t i = 1; i < count && ordered; ++i) ordered = members[i - 1]->Name() < members[i]->Name();
  if (!ordered) {
    std::stable_sort(members, members + count,
                     [](const Member* a, const Member* b) { return a->Name() < b->Name(); });
    // Of a run of one name, the last (the latest read) stays.
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
      if (i + 1 < count && members[i]->Name() == members[i + 1]->Name()) {
        ClearValue(&members[i]->value);
        Member::Free(members[i]);
        continue;
      }
      members[kept++] = members[i];
    }
    count = kept;
  }
  void* at = arena->Allocate(sizeof(xson_object_t) + count * sizeof(Member*));
  auto* o = new (at) xson_object_t(arena);
  o->members_ = reinterpret_cast<Member**>(o + 1);
  if (count > 0) memcpy(static_cast<void*>(o->members_), members, count * sizeof(Member*));
  o->size_ = o->capacity_ = count;
  return o;
}
xson_object_t::~xson_object_t() { Clear(); }
bool xson_object_t::Clear() {
  Member** members = members_;
  const size_t size = size_;
  const bool heap = heap_;
  members_ = nullptr;
  size_ = capacity_ = 0;
  heap_ = false;
  for (size_t i = 0; i < size; ++i) {
    ClearValue(&members[i]->value);
    Member::Free(members[i]);
  }
  if (heap) ::operator delete(members);
  return true;
}
bool xson_object_t::Clone(complex_t** out) { return CloneInto(this, out); }
bool xson_object_t::CopyTo(complex_t* destination) {
  auto* d = dynamic_cast<xson_object_t*>(destination);
  if (d == nullptr) return false;
  if (d == this) return true;
  d->Clear();
  for (size_t i = 0; i < size_; ++i) {
    value_t* slot = d->Slot(members_[i]->Name());
    SetValue(&members_[i]->value, slot);
  }
  return true;
}
size_t xson_object_t::LowerBound(std::string_view name) const {
  size_t low = 0, high = size_;
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (members_[mid]->Name() < name) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}
value_t* xson_object_t::Slot(std::string_view name) {
  // Members added in name order go at the end after one comparison.
  size_t at = size_;
  if (size_ > 0 && members_[size_ - 1]->Name() >= name) {
    at = LowerBound(name);
    if (members_[at]->Name() == name) return &members_[at]->value;
  }
  if (size_ == capacity_) {
    size_t grown = capacity_ < 4 ? 4 : capacity_ * 2;
    auto* members = static_cast<Member**>(::operator new(grown * sizeof(Member*)));
    if (size_ > 0) memcpy(static_cast<void*>(members), members_, size_ * sizeof(Member*));
    if (heap_) ::operator delete(members_);
    members_ = members;
    capacity_ = grown;
    heap_ = true;
  }
  Member* m = Member::New(name);
  memmove(static_cast<void*>(members_ + at + 1), members_ + at, (size_ - at) * sizeof(Member*));
  members_[at] = m;
  ++size_;
  return &m->value;
}
value_t* xson_object_t::Find(const char* name, bool create) {
  if (!ValidName(name)) return nullptr;
  std::string_view key(name);
  if (create) return Slot(key);
  size_t at = LowerBound(key);
  return at < size_ && members_[at]->Name() == key ? &members_[at]->value : nullptr;
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
  std::string_view key(name);
  size_t at = LowerBound(key);
  if (at >= size_ || members_[at]->Name() != key) return false;
  Member* m = members_[at];
  value_t removed = m->value;
  memmove(static_cast<void*>(members_ + at), members_ + at + 1, (size_ - at - 1) * sizeof(Member*));
  --size_;
  Member::Free(m);
  ClearValue(&removed);
  return true;
}
bool xson_object_t::Enumerate(object_callback callback, void* user) {
  if (callback == nullptr) return false;
  for (size_t i = 0; i < size_; ++i) {
    if (!callback(members_[i]->name, &members_[i]->value, i + 1 == size_, user)) return false;
  }
  return true;
}

}  // namespace xson
