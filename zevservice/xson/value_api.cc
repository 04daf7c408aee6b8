// The thirteen exported functions. Each catches everything: nothing may
// cross the library boundary as an exception.
#include <cstring>
#include <new>
#include <string>

#include "xson/codec.h"
#include "xson/containers.h"

using xson::value_t;

// The exports' own helpers.
namespace xson {
namespace {

constexpr uint64_t kAllOnes = ~0ull;

template <typename Fn>
uint64_t Guard(Fn fn) {
  try {
    return fn() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

bool ValidSize(uint32_t size) { return size <= 3; }

}  // namespace
}  // namespace xson

XSON_EXPORT uint64_t XsonValueInit(value_t* value) {
  if (value == nullptr) return 0;
  value->header = 0;
  value->reserved[0] = value->reserved[1] = value->reserved[2] = 0;
  value->payload.i = 0;
  return 1;
}

XSON_EXPORT uint64_t XsonValueClear(value_t* value) {
  if (value == nullptr) return 0;
  return xson::Guard([&] {
    xson::ClearValue(value);
    return true;
  });
}

XSON_EXPORT uint64_t XsonValueCheckType(const value_t* value, uint32_t type) {
  return value != nullptr && xson::TypeOf(*value) == type ? 1 : 0;
}

XSON_EXPORT uint64_t XsonValueCheckType2(const value_t* value, uint32_t type, uint32_t size) {
  return value != nullptr && xson::TypeOf(*value) == type && xson::SizeOf(*value) == size ? 1 : 0;
}

XSON_EXPORT uint64_t XsonValueCheckTypes(const value_t* value, uint32_t mask) {
  return value != nullptr && (mask >> xson::TypeOf(*value)) & 1u ? 1 : 0;
}

XSON_EXPORT uint64_t XsonValueSetType(value_t* value, uint32_t type) {
  if (value == nullptr || type > 31) return 0;
  return xson::Guard([&] { return xson::SetValueType(value, static_cast<uint8_t>(type), 0, true); });
}

XSON_EXPORT uint64_t XsonValueSetType2(value_t* value, uint32_t type, uint32_t size) {
  if (value == nullptr || type > 31 || !xson::ValidSize(size)) return 0;
  return xson::Guard(
      [&] { return xson::SetValueType(value, static_cast<uint8_t>(type), static_cast<uint8_t>(size), false); });
}

XSON_EXPORT uint64_t XsonValueSet(const value_t* source, value_t* destination) {
  if (source == nullptr || destination == nullptr) return 0;
  return xson::Guard([&] { return xson::SetValue(source, destination); });
}

XSON_EXPORT uint64_t XsonValueClone(const value_t* source, value_t* destination) {
  if (source == nullptr || destination == nullptr) return 0;
  return xson::Guard([&] {
    if (source == destination) return true;
    const value_t src = *source;  // the header and pointer, read before the destination is cleared
    const uint8_t type = xson::TypeOf(src);
    if (xson::IsContainerType(type)) {
      auto* from = static_cast<xson::complex_t*>(src.payload.p);
      if (from == nullptr) {
        xson::ClearValue(destination);
        return false;
      }
      from->AddRef();  // the source may live inside the destination's container
      xson::ClearValue(destination);
      bool ok = xson::SetValueType(destination, type, xson::SizeOf(src), false) &&
                from->CopyTo(static_cast<xson::complex_t*>(destination->payload.p));
      from->Release();
      if (!ok) xson::ClearValue(destination);
      return ok;
    }
    if (type == xson::vtNull || type == xson::vtInteger || type == xson::vtReal || type == xson::vtBoolean ||
        type == xson::vtUnknown) {
      return xson::SetValue(&src, destination);
    }
    xson::ClearValue(destination);
    return false;
  });
}

XSON_EXPORT uint64_t XsonValueToJson(const value_t* value, xson::ioutput_t* output) {
  if (value == nullptr || output == nullptr) return 0;
  return xson::Guard([&] {
    std::string text;
    return xson::WriteJson(*value, &text) && output->Write(text.data(), text.size());
  });
}

XSON_EXPORT uint64_t XsonValueFromJson(value_t* value, const char* text, uint64_t length) {
  if (value == nullptr || text == nullptr) return 0;
  return xson::Guard([&] {
    size_t n = length == xson::kAllOnes ? strlen(text) : static_cast<size_t>(length);
    return xson::ParseJson(text, n, value, nullptr);
  });
}

XSON_EXPORT uint64_t XsonValueSave(const value_t* value, xson::ioutput_t* output) {
  if (value == nullptr || output == nullptr) return 0;
  return xson::Guard([&] {
    std::string bytes;
    return xson::SaveBinary(*value, &bytes) && output->Write(bytes.data(), bytes.size());
  });
}

XSON_EXPORT uint64_t XsonValueLoad(value_t* value, const void* bytes, uint64_t length) {
  if (value == nullptr || bytes == nullptr || length == 0) return 0;
  return xson::Guard([&] {
    value_t loaded = {};
    if (!xson::LoadBinary(static_cast<const uint8_t*>(bytes), static_cast<size_t>(length), &loaded)) {
      xson::ClearValue(&loaded);
      return false;
    }
    bool ok = xson::SetValue(&loaded, value);
    xson::ClearValue(&loaded);
    return ok;
  });
}
