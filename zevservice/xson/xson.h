// xson: a small variant value and the thirteen functions that libzevxson.so
// exports over it. This header is for callers outside the program too.
//
// A value_t is a 12-byte record: a header byte (type in bits 0-4, size in
// bits 5-7), three unused bytes, and an 8-byte payload at offset 4. Strings,
// buffers, arrays and objects live in reference-counted containers that the
// payload points to; copying a value with XsonValueSet shares the container.
//
// Every exported function answers an unsigned 64-bit integer: 0 for failure
// or false, non-zero for success or true. A null value pointer gives 0.
// Nothing is thrown out of them.
//
// Reference counts are atomic, so values sharing a container may be copied
// and cleared on several threads; a container itself is not locked, and
// changes to one container must be serialised by the caller.
#ifndef ZEV_XSON_XSON_H_
#define ZEV_XSON_XSON_H_

#include <cstddef>
#include <cstdint>

#if defined(ZEV_XSON_BUILDING)
#define XSON_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define XSON_EXPORT extern "C"
#endif

namespace xson {

enum value_type : uint8_t {
  vtNull = 0,
  vtInteger = 1,
  vtReal = 2,
  vtString8 = 3,
  vtString16 = 5,
  vtBuffer = 6,
  vtArray = 7,
  vtObject = 8,
  vtUnknown = 9,
  vtBoolean = 16,
  vtComplex = 17,
};

// For integers: 0 = 8 bits, 1 = 16, 2 = 32, 3 = 64. For strings, buffers,
// arrays and objects: the width of the element count in the binary form.
enum value_size : uint8_t { vs8 = 0, vs16 = 1, vs32 = 2, vs64 = 3 };

#pragma pack(push, 4)
struct value_t {
  uint8_t header;
  uint8_t reserved[3];
  union {
    int64_t i;   // vtInteger, sign-extended
    double r;    // vtReal
    int32_t b;   // vtBoolean
    void* p;     // containers, vtUnknown, vtComplex
  } payload;
};
#pragma pack(pop)
static_assert(sizeof(value_t) == 12, "value_t is 12 bytes");

inline uint8_t TypeOf(const value_t& v) { return v.header & 0x1F; }
inline uint8_t SizeOf(const value_t& v) { return static_cast<uint8_t>(v.header >> 5); }

// The COM-style reference that vtUnknown values hold: QueryInterface, AddRef
// and Release in the first three slots.
class IUnknown {
 public:
  virtual int32_t QueryInterface(const void* iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Base of every container. Release deletes the container at zero.
class complex_t {
 public:
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
  // Characters of a string, bytes of a buffer, elements, members.
  virtual uint64_t Count() = 0;
  virtual bool Clear() = 0;
  // A new container of the same kind holding a copy (reference count 1).
  virtual bool Clone(complex_t** out) = 0;
  // Clears `destination` (of the same kind) and copies every element into
  // it; elements of arrays and objects are shared, not copied.
  virtual bool CopyTo(complex_t* destination) = 0;

 protected:
  ~complex_t() = default;
};

class mbstr_t : public complex_t {
 public:
  // A negative length means up to the terminating NUL.
  virtual bool Assign(const char* text, int64_t length) = 0;
  virtual const char* CStr() = 0;

 protected:
  ~mbstr_t() = default;
};

class wcstr_t : public complex_t {
 public:
  virtual bool Assign(const char16_t* text, int64_t length) = 0;
  virtual const char16_t* CStr() = 0;

 protected:
  ~wcstr_t() = default;
};

class buffer_t : public complex_t {
 public:
  virtual bool Assign(const void* bytes, uint64_t length) = 0;  // false for null bytes
  virtual uint8_t* Data() = 0;                                  // null when empty
  virtual bool Resize(uint64_t count) = 0;

 protected:
  ~buffer_t() = default;
};

using array_callback = bool (*)(uint64_t index, const value_t* value, bool is_last, void* user);
using object_callback = bool (*)(const char* name, const value_t* value, bool is_last, void* user);

class array_t : public complex_t {
 public:
  // The element at `index`; beyond the end null, or with `create` the array
  // grows to index + 1 (new elements null). The pointer is valid until the
  // array changes size.
  virtual value_t* At(uint64_t index, bool create) = 0;
  virtual bool SetAt(uint64_t index, const value_t* value) = 0;  // grows as needed
  virtual bool GetAt(uint64_t index, value_t* out) = 0;         // out: a shared copy
  virtual bool RemoveAt(uint64_t index) = 0;
  virtual bool Enumerate(array_callback callback, void* user) = 0;
  virtual bool Resize(uint64_t count) = 0;
  virtual bool Append(const value_t* value) = 0;

 protected:
  ~array_t() = default;
};

// Members in name order (byte-wise); names have 1 to 255 bytes.
class object_t : public complex_t {
 public:
  virtual value_t* Find(const char* name, bool create) = 0;
  virtual bool Set(const char* name, const value_t* value) = 0;
  virtual bool Get(const char* name, value_t* out) = 0;
  virtual bool Remove(const char* name) = 0;
  virtual bool Enumerate(object_callback callback, void* user) = 0;

 protected:
  ~object_t() = default;
};

// An output sink.
class ioutput_t {
 public:
  virtual bool Write(const void* bytes, size_t length) = 0;

 protected:
  ~ioutput_t() = default;
};

}  // namespace xson

// Header and payload zeroed, nothing released (for fresh records).
XSON_EXPORT uint64_t XsonValueInit(xson::value_t* value);
// Releases what the value holds, then as XsonValueInit.
XSON_EXPORT uint64_t XsonValueClear(xson::value_t* value);
XSON_EXPORT uint64_t XsonValueCheckType(const xson::value_t* value, uint32_t type);
XSON_EXPORT uint64_t XsonValueCheckType2(const xson::value_t* value, uint32_t type, uint32_t size);
// Whether bit number <type of value> is set in `mask`.
XSON_EXPORT uint64_t XsonValueCheckTypes(const xson::value_t* value, uint32_t mask);
// Makes the value of `type` (an empty container for strings, buffers, arrays
// and objects); a value of that type already keeps its content.
XSON_EXPORT uint64_t XsonValueSetType(xson::value_t* value, uint32_t type);
XSON_EXPORT uint64_t XsonValueSetType2(xson::value_t* value, uint32_t type, uint32_t size);
// destination := a shared copy of source.
XSON_EXPORT uint64_t XsonValueSet(const xson::value_t* source, xson::value_t* destination);
// destination := a copy with a new top-level container (nested ones shared).
XSON_EXPORT uint64_t XsonValueClone(const xson::value_t* source, xson::value_t* destination);
// JSON text of the value, without white space.
XSON_EXPORT uint64_t XsonValueToJson(const xson::value_t* value, xson::ioutput_t* output);
// Parses JSON text (length all ones: up to the terminating NUL). On success
// the parsed value is written over the destination record without releasing
// its old content (clear it first); on failure the destination is untouched.
XSON_EXPORT uint64_t XsonValueFromJson(xson::value_t* value, const char* text, uint64_t length);
// The binary form of the value.
XSON_EXPORT uint64_t XsonValueSave(const xson::value_t* value, xson::ioutput_t* output);
// Reads one value from the start of `bytes` into the destination (as by
// XsonValueSet); bytes after it are ignored.
XSON_EXPORT uint64_t XsonValueLoad(xson::value_t* value, const void* bytes, uint64_t length);

#endif  // ZEV_XSON_XSON_H_
