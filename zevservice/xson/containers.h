// The container implementations behind xson values, and the value
// operations the exported functions and the readers share.
#ifndef ZEV_XSON_CONTAINERS_H_
#define ZEV_XSON_CONTAINERS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "xson/xson.h"

namespace xson {

// Deepest nesting of arrays and objects the readers and writers follow; a
// deeper (or self-containing) value fails instead of exhausting the stack.
constexpr int kMaxDepth = 512;

// Clears a value: releases its container or reference, zeroes the record.
void ClearValue(value_t* value);
// destination := shared copy of source (destination cleared first).
bool SetValue(const value_t* source, value_t* destination);
// Makes a value of the type (and size), as XsonValueSetType2.
bool SetValueType(value_t* value, uint8_t type, uint8_t size, bool keep_size);
// Sets an integer of the given width (size 0-3), sign-extended.
void SetInteger(value_t* value, int64_t number, uint8_t size);
// The integer read at its width.
int64_t GetInteger(const value_t& value);
bool IsContainerType(uint8_t type);

// The memory one parsed or loaded document's containers are carved from, so
// that a document costs a few large allocations instead of several per
// value. Only the reader that builds the document allocates from it (one
// thread); after that it is only counted down. It lives while any container
// made in it lives: the count starts at kBias while the reader builds, and
// the reader settles it with the number of containers it made.
//
// The first chunk is sized for the input (small documents stay small); the
// others are kChunkBytes, kept in a process-wide cache of up to kCachedChunks
// when their arena goes, so that a large document read again and again does
// not return its memory to the system and fault it back in each time.
class Arena {
 public:
  static constexpr int64_t kBias = int64_t{1} << 40;
  static constexpr size_t kChunkBytes = size_t{64} << 10;
  static constexpr size_t kCachedChunks = 128;

  // `input` is the length of the text or bytes the document is read from.
  explicit Arena(size_t input);
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // 8-aligned bytes, valid while the arena lives. Throws std::bad_alloc.
  void* Allocate(size_t bytes) {
    bytes = (bytes + 7) & ~size_t{7};
    if (static_cast<size_t>(limit_ - next_) < bytes) Grow(bytes);
    void* at = next_;
    next_ += bytes;
    return at;
  }
  // Counts n containers (or the reader's bias) as gone; the last frees the arena.
  void Drop(int64_t n) {
    if (live_.fetch_sub(n, std::memory_order_acq_rel) == n) delete this;
  }

 private:
  struct Chunk {
    Chunk* next;
    size_t size;
  };
  ~Arena();
  void Grow(size_t bytes);

  std::atomic<int64_t> live_{kBias};
  Chunk* chunks_ = nullptr;
  char* next_ = nullptr;
  char* limit_ = nullptr;
  size_t first_bytes_;
};

template <typename Interface>
class RefCounted : public Interface {
 public:
  uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    // The only holder: nobody else can take a reference any more.
    if (refs_.load(std::memory_order_acquire) == 1) {
      DeleteSelf();
      return 0;
    }
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) DeleteSelf();
    return left;
  }

 protected:
  explicit RefCounted(Arena* arena) : arena_(arena) {}
  virtual void DeleteSelf() = 0;
  virtual ~RefCounted() = default;
  // Destroys a container made by `new`, or one made in an arena.
  template <typename Self>
  static void Destroy(Self* self) {
    Arena* arena = self->arena_;
    if (arena == nullptr) {
      delete self;
    } else {
      self->~Self();
      arena->Drop(1);
    }
  }

 private:
  // In this order, so that a derived class's first small member fills the
  // space after the count.
  Arena* const arena_;
  std::atomic<uint32_t> refs_{1};
};

// Narrow (mbstr_t) and UTF-16 (wcstr_t) strings share one implementation.
// The text is NUL-terminated; it lies right after the object for strings
// made in an arena, else (and once it outgrows that room) on the heap.
template <typename Char, typename Interface>
class xson_string_t final : public RefCounted<Interface> {
 public:
  using Text = std::basic_string_view<Char>;
  xson_string_t() : RefCounted<Interface>(nullptr) {}
  // A string with its text in the arena.
  static xson_string_t* Make(Arena* arena, const Char* text, size_t length) {
    void* at = arena->Allocate(sizeof(xson_string_t) + (length + 1) * sizeof(Char));
    auto* s = new (at) xson_string_t(arena);
    Char* room = reinterpret_cast<Char*>(s + 1);
    if (length > 0) memcpy(room, text, length * sizeof(Char));
    room[length] = Char();
    s->data_ = room;
    s->size_ = s->capacity_ = length;
    return s;
  }
  ~xson_string_t() override { FreeText(); }
  uint64_t Count() override { return size_; }
  bool Clear() override {
    size_ = 0;
    if (capacity_ > 0) data_[0] = Char();
    return true;
  }
  bool Clone(complex_t** out) override {
    if (out == nullptr) return false;
    auto* copy = new (std::nothrow) xson_string_t();
    if (copy == nullptr) return false;
    copy->Set(data_, size_);
    *out = copy;
    return true;
  }
  bool CopyTo(complex_t* destination) override {
    auto* d = dynamic_cast<xson_string_t*>(destination);
    if (d == nullptr) return false;
    if (d != this) d->Set(data_, size_);
    return true;
  }
  // A negative length means up to the terminating NUL.
  bool Assign(const Char* text, int64_t length) override {
    if (text == nullptr) return length == 0 && Clear();
    Set(text, length < 0 ? std::char_traits<Char>::length(text) : static_cast<size_t>(length));
    return true;
  }
  const Char* CStr() override { return data_; }
  Text text() const { return Text(data_, size_); }

 protected:
  void DeleteSelf() override { this->Destroy(this); }

 private:
  explicit xson_string_t(Arena* arena) : RefCounted<Interface>(arena) {}

  // `text` may lie within the string's own text.
  void Set(const Char* text, size_t length) {
    if (length <= capacity_) {
      // Without room (capacity 0) the text is the empty one already there.
      if (length > 0) memmove(data_, text, length * sizeof(Char));
      if (capacity_ > 0) data_[length] = Char();
      size_ = length;
      return;
    }
    if (length >= SIZE_MAX / sizeof(Char)) throw std::bad_alloc();
    Char* grown = new Char[length + 1];
    memcpy(grown, text, length * sizeof(Char));
    grown[length] = Char();
    FreeText();
    data_ = grown;
    size_ = capacity_ = length;
    heap_ = true;
  }
  void FreeText() {
    if (heap_) delete[] data_;
    heap_ = false;
  }

  static inline Char empty_text_[1] = {Char()};  // never written

  bool heap_ = false;
  Char* data_ = empty_text_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

using xson_str8_t = xson_string_t<char, mbstr_t>;
using xson_str16_t = xson_string_t<char16_t, wcstr_t>;

class xson_buffer_t final : public RefCounted<buffer_t> {
 public:
  xson_buffer_t() : RefCounted<buffer_t>(nullptr) {}
  uint64_t Count() override { return bytes_.size(); }
  bool Clear() override;
  bool Clone(complex_t** out) override;
  bool CopyTo(complex_t* destination) override;
  bool Assign(const void* bytes, uint64_t length) override;
  uint8_t* Data() override { return bytes_.empty() ? nullptr : bytes_.data(); }
  bool Resize(uint64_t count) override;

 protected:
  void DeleteSelf() override { Destroy(this); }

 private:
  std::vector<uint8_t> bytes_;
};

// Elements lie right after the object for arrays made in an arena, else
// (and once they outgrow that room) on the heap.
class xson_array_t final : public RefCounted<array_t> {
 public:
  xson_array_t() : RefCounted<array_t>(nullptr) {}
  // An array of `count` elements moved from `items`, in the arena.
  static xson_array_t* Make(Arena* arena, const value_t* items, size_t count);
  ~xson_array_t() override;
  uint64_t Count() override { return size_; }
  bool Clear() override;
  bool Clone(complex_t** out) override;
  bool CopyTo(complex_t* destination) override;
  value_t* At(uint64_t index, bool create) override;
  bool SetAt(uint64_t index, const value_t* value) override;
  bool GetAt(uint64_t index, value_t* out) override;
  bool RemoveAt(uint64_t index) override;
  bool Enumerate(array_callback callback, void* user) override;
  bool Resize(uint64_t count) override;
  bool Append(const value_t* value) override;
  const value_t& item(size_t index) const { return items_[index]; }

 protected:
  void DeleteSelf() override { Destroy(this); }

 private:
  explicit xson_array_t(Arena* arena) : RefCounted<array_t>(arena) {}
  bool Reserve(size_t count);

  bool heap_ = false;
  value_t* items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// One member of an object: its value and its NUL-terminated name (1 to 254
// bytes). A member stays where it is until it is removed, so the pointer
// Find answers stays valid while other members come and go.
struct Member {
  value_t value;
  uint8_t length;
  bool heap;  // made by New (else in an arena)
  char name[2];

  std::string_view Name() const { return std::string_view(name, length); }
  static size_t Bytes(size_t length) { return offsetof(Member, name) + length + 1; }
  static Member* New(std::string_view name);
  static Member* Make(Arena* arena, std::string_view name);
  static void Free(Member* member) {
    if (member->heap) ::operator delete(member);
  }
};

// Members in name order, as a sorted table of pointers to them. An object
// made in an arena has its table right after it; one that grows moves the
// table to the heap.
class xson_object_t final : public RefCounted<object_t> {
 public:
  xson_object_t() : RefCounted<object_t>(nullptr) {}
  // An object of the members given, in any order; of those with one name
  // the last is kept and the others cleared. `members` is reordered.
  static xson_object_t* Make(Arena* arena, Member** members, size_t count);
  ~xson_object_t() override;
  uint64_t Count() override { return size_; }
  bool Clear() override;
  bool Clone(complex_t** out) override;
  bool CopyTo(complex_t* destination) override;
  value_t* Find(const char* name, bool create) override;
  bool Set(const char* name, const value_t* value) override;
  bool Get(const char* name, value_t* out) override;
  bool Remove(const char* name) override;
  bool Enumerate(object_callback callback, void* user) override;
  size_t size() const { return size_; }
  const Member& member(size_t index) const { return *members_[index]; }

 protected:
  void DeleteSelf() override { Destroy(this); }

 private:
  explicit xson_object_t(Arena* arena) : RefCounted<object_t>(arena) {}
  // The position of `name`, or where it would go.
  size_t LowerBound(std::string_view name) const;
  // The member `name` (already checked), added as null when missing.
  value_t* Slot(std::string_view name);

  bool heap_ = false;
  Member** members_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A reader's hold on the arena it builds one document in, and the count of
// containers it made there.
class ArenaBuilder {
 public:
  explicit ArenaBuilder(size_t input) : arena_(new Arena(input)) {}
  ArenaBuilder(const ArenaBuilder&) = delete;
  ArenaBuilder& operator=(const ArenaBuilder&) = delete;
  ~ArenaBuilder() { arena_->Drop(Arena::kBias - made_); }

  template <typename Char>
  complex_t* String(const Char* text, size_t length) {
    auto* s = xson_string_t<Char, std::conditional_t<sizeof(Char) == 1, mbstr_t, wcstr_t>>::Make(arena_, text, length);
    ++made_;
    return static_cast<complex_t*>(s);
  }
  complex_t* Array(const value_t* items, size_t count) {
    auto* a = xson_array_t::Make(arena_, items, count);
    ++made_;
    return static_cast<complex_t*>(a);
  }
  complex_t* Object(Member** members, size_t count) {
    auto* o = xson_object_t::Make(arena_, members, count);
    ++made_;
    return static_cast<complex_t*>(o);
  }
  Member* NewMember(std::string_view name) { return Member::Make(arena_, name); }

 private:
  Arena* const arena_;
  int64_t made_ = 0;
};

// Output sink that appends to a string.
class string_output_t : public ioutput_t {
 public:
  bool Write(const void* bytes, size_t length) override {
    text.append(static_cast<const char*>(bytes), length);
    return true;
  }
  std::string text;
};

}  // namespace xson

#endif  // ZEV_XSON_CONTAINERS_H_
