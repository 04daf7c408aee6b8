// The container implementations behind xson values, and the value
// operations the exported functions and the readers share.
#ifndef ZEV_XSON_CONTAINERS_H_
#define ZEV_XSON_CONTAINERS_H_

#include <atomic>
#include <map>
#include <new>
#include <string>
#include <string_view>
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

template <typename Interface>
class RefCounted : public Interface {
 public:
  uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) DeleteSelf();
    return left;
  }

 protected:
  virtual void DeleteSelf() = 0;
  virtual ~RefCounted() = default;

 private:
  std::atomic<uint32_t> refs_{1};
};

// Narrow (mbstr_t) and UTF-16 (wcstr_t) strings share one implementation.
// Short texts stay inside the object (the string's own small buffer).
template <typename Char, typename Interface>
class xson_string_t final : public RefCounted<Interface> {
 public:
  using Text = std::basic_string<Char>;
  xson_string_t() = default;
  xson_string_t(const Char* text, size_t length) : text_(text, length) {}
  uint64_t Count() override { return text_.size(); }
  bool Clear() override {
    text_.clear();
    return true;
  }
  bool Clone(complex_t** out) override {
    if (out == nullptr) return false;
    auto* copy = new (std::nothrow) xson_string_t();
    if (copy == nullptr) return false;
    copy->text_ = text_;
    *out = copy;
    return true;
  }
  bool CopyTo(complex_t* destination) override {
    auto* d = dynamic_cast<xson_string_t*>(destination);
    if (d == nullptr) return false;
    if (d != this) d->text_ = text_;
    return true;
  }
  // A negative length means up to the terminating NUL.
  bool Assign(const Char* text, int64_t length) override {
    if (text == nullptr) return length == 0 && Clear();
    if (length < 0) {
      text_.assign(text);
    } else {
      text_.assign(text, static_cast<size_t>(length));
    }
    return true;
  }
  const Char* CStr() override { return text_.c_str(); }
  const Text& text() const { return text_; }

 protected:
  void DeleteSelf() override { delete this; }

 private:
  Text text_;
};

using xson_str8_t = xson_string_t<char, mbstr_t>;
using xson_str16_t = xson_string_t<char16_t, wcstr_t>;

class xson_buffer_t final : public RefCounted<buffer_t> {
 public:
  uint64_t Count() override { return bytes_.size(); }
  bool Clear() override;
  bool Clone(complex_t** out) override;
  bool CopyTo(complex_t* destination) override;
  bool Assign(const void* bytes, uint64_t length) override;
  uint8_t* Data() override { return bytes_.empty() ? nullptr : bytes_.data(); }
  bool Resize(uint64_t count) override;

 protected:
  void DeleteSelf() override { delete this; }

 private:
  std::vector<uint8_t> bytes_;
};

class xson_array_t final : public RefCounted<array_t> {
 public:
  ~xson_array_t() override { Clear(); }
  uint64_t Count() override { return items_.size(); }
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
  // The elements themselves, for the readers that fill a new array.
  std::vector<value_t>& items() { return items_; }

 protected:
  void DeleteSelf() override { delete this; }

 private:
  std::vector<value_t> items_;
};

class xson_object_t final : public RefCounted<object_t> {
 public:
  // Looked up by string_view, so that a name is not copied to be found.
  using Members = std::map<std::string, value_t, std::less<>>;

  ~xson_object_t() override { Clear(); }
  uint64_t Count() override { return members_.size(); }
  bool Clear() override;
  bool Clone(complex_t** out) override;
  bool CopyTo(complex_t* destination) override;
  value_t* Find(const char* name, bool create) override;
  bool Set(const char* name, const value_t* value) override;
  bool Get(const char* name, value_t* out) override;
  bool Remove(const char* name) override;
  bool Enumerate(object_callback callback, void* user) override;
  const Members& members() const { return members_; }
  // The member `name` (already checked by the caller), added as null when
  // missing. Members are map nodes: the pointer stays valid while others
  // are added.
  value_t* Slot(std::string_view name);

 protected:
  void DeleteSelf() override { delete this; }

 private:
  Members members_;
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
