#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "xson/codec.h"
#include "xson/containers.h"

namespace xson {
namespace {

void PutLE(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

int WidthOf(uint8_t size) { return 1 << size; }  // 1, 2, 4, 8 bytes

void PutVarint(std::string* out, uint64_t v) {
  // Seven bits a byte, lowest first; bit 7 marks the last byte.
  while (v >= 0x80) {
    out->push_back(static_cast<char>(v & 0x7F));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v | 0x80));
}

// Strings are written with their terminating NUL counted and stored, so that
// a reader that expects the terminator (as every reader of this form does)
// loads them again.
template <typename Unit>
bool SaveString(uint8_t type, std::basic_string_view<Unit> text, std::string* out) {
  uint64_t count = text.size() + 1;
  uint8_t size;
  if (count < 256) {
    size = vs8;
  } else if (count < 65536) {
    size = vs16;
  } else {
    return false;
  }
  out->push_back(static_cast<char>(type | (size << 5)));
  PutLE(out, count, WidthOf(size));
  for (Unit u : text) PutLE(out, static_cast<uint64_t>(u), sizeof(Unit));
  PutLE(out, 0, sizeof(Unit));
  return true;
}

// Element counts of arrays and objects: one byte below 256, two up to 65,535.
bool CountSize(uint64_t count, uint8_t* size) {
  if (count < 256) {
    *size = vs8;
  } else if (count <= 65535) {
    *size = vs16;
  } else {
    return false;
  }
  return true;
}

bool Save(const value_t& value, std::string* out, int depth) {
  if (depth > kMaxDepth) return false;
  const uint8_t type = TypeOf(value);
  switch (type) {
    case vtNull:
      out->push_back(static_cast<char>(vtNull));
      return true;
    case vtInteger: {
      uint8_t size = SizeOf(value) & 3;
      out->push_back(static_cast<char>(vtInteger | (size << 5)));
      PutLE(out, static_cast<uint64_t>(GetInteger(value)), WidthOf(size));
      return true;
    }
    case vtReal: {
      out->push_back(static_cast<char>(vtReal));
      uint64_t bits;
      memcpy(&bits, &value.payload.r, sizeof(bits));
      PutLE(out, bits, 8);
      return true;
    }
    case vtString8: {
      auto* s = static_cast<xson_str8_t*>(value.payload.p);
      return s != nullptr && SaveString<char>(vtString8, s->text(), out);
    }
    case vtString16: {
      auto* s = static_cast<xson_str16_t*>(value.payload.p);
      return s != nullptr && SaveString<char16_t>(vtString16, s->text(), out);
    }
    case vtBuffer: {
      auto* b = static_cast<xson_buffer_t*>(value.payload.p);
      if (b == nullptr) return false;
      uint64_t count = b->Count();
      uint8_t size = count < 256 ? vs8 : count <= 65535 ? vs16 : vs32;
      if (count > 0xFFFFFFFFull) return false;
      out->push_back(static_cast<char>(vtBuffer | (size << 5)));
      PutLE(out, count, WidthOf(size));
      if (count > 0) out->append(reinterpret_cast<const char*>(b->Data()), count);
      return true;
    }
    case vtArray: {
      auto* a = static_cast<xson_array_t*>(value.payload.p);
      uint8_t size;
      if (a == nullptr || !CountSize(a->Count(), &size)) return false;
      out->push_back(static_cast<char>(vtArray | (size << 5)));
      PutLE(out, a->Count(), WidthOf(size));
      for (uint64_t i = 0; i < a->Count(); ++i) {
        PutVarint(out, i);
        if (!Save(*a->At(i, false), out, depth + 1)) return false;
      }
      return true;
    }
    case vtObject: {
      auto* o = static_cast<xson_object_t*>(value.payload.p);
      uint8_t size;
      if (o == nullptr || !CountSize(o->Count(), &size)) return false;
      out->push_back(static_cast<char>(vtObject | (size << 5)));
      PutLE(out, o->Count(), WidthOf(size));
      for (size_t i = 0; i < o->size(); ++i) {
        const Member& member = o->member(i);
        const std::string_view name = member.Name();
        if (name.size() >= 255) return false;
        out->push_back(static_cast<char>(name.size() + 1));
        out->append(name);
        out->push_back('\0');
        if (!Save(member.value, out, depth + 1)) return false;
      }
      return true;
    }
    default:
      return false;  // booleans, COM references and foreign objects have no binary form
  }
}

// One pass over the bytes: scalars are read into their slots, strings and
// names are taken from the input where they lie, and each array is
// allocated once, at its exact size.
class Loader {
 public:
  Loader(const uint8_t* data, size_t length) : p_(data), end_(data + length), builder_(length) {}
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;
  ~Loader() {
    DropFrom(0);
    for (Member* m : members_) ClearValue(&m->value);
  }

  bool Load(value_t* out, int depth) {
    if (depth > kMaxDepth) return false;
    uint8_t header;
    if (!Byte(&header)) return false;
    const uint8_t type = header & 0x1F;
    const uint8_t size = header >> 5;
    if (size > 3) return false;
    switch (type) {
      case vtNull:
        ClearValue(out);
        out->header = header;
        return true;
      case vtInteger: {
        uint64_t v;
        if (!LE(size, &v)) return false;
        SetInteger(out, static_cast<int64_t>(v), size);
        return true;
      }
      case vtReal: {
        uint64_t bits;
        if (!LE(vs64, &bits)) return false;
        ClearValue(out);
        out->header = header;
        memcpy(&out->payload.r, &bits, sizeof(bits));
        return true;
      }
      case vtString8:
        return LoadString<char>(header, out);
      case vtString16:
        return LoadString<char16_t>(header, out);
      case vtBuffer: {
        uint64_t count;
        if (!LE(size, &count) || count > Left()) return false;
        SetValueType(out, vtBuffer, size, false);
        auto* b = static_cast<xson_buffer_t*>(out->payload.p);
        if (b == nullptr || !b->Assign(p_, count)) return false;
        p_ += count;
        return true;
      }
      case vtArray: {
        uint64_t count;
        // Each element takes at least two bytes (index and header).
        if (!LE(size, &count) || count > Left() / 2) return false;
        // The elements gather on the loader's stack and move into an array
        // of their exact size at the end. Indices name slots within the
        // declared count (a forged large index cannot make the array grow
        // without bound); the array is as long as the highest index seen
        // and slots not named stay null.
        const size_t base = stack_.size();
        for (uint64_t i = 0; i < count; ++i) {
          uint64_t index;
          value_t element = {};
          if (!Varint(&index) || index >= count || !Load(&element, depth + 1)) {
            ClearValue(&element);
            DropFrom(base);
            return false;
          }
          if (base + index >= stack_.size()) stack_.resize(base + index + 1, value_t{});
          value_t* slot = &stack_[base + index];
          ClearValue(slot);
          *slot = element;
        }
        ClearValue(out);
        out->payload.p = builder_.Array(stack_.data() + base, stack_.size() - base);
        out->header = header;
        stack_.resize(base);
        return true;
      }
      case vtObject: {
        uint64_t count;
        if (!LE(size, &count) || count > Left() / 3) return false;
        // Members gather on the loader's stack; the object made of them
        // puts them in name order, the last of one name kept.
        const size_t base = members_.size();
        for (uint64_t i = 0; i < count; ++i) {
          uint8_t length;
          if (!Byte(&length) || length == 0 || length > Left() || p_[length - 1] != 0) return DropMembers(base);
          // 1 to 254 bytes without a NUL: a valid name.
          std::string_view name(reinterpret_cast<const char*>(p_), length - 1u);
          p_ += length;
          if (name.empty() || memchr(name.data(), 0, name.size()) != nullptr) return DropMembers(base);
          Member* member = builder_.NewMember(name);
          members_.push_back(member);
          if (!Load(&member->value, depth + 1)) return DropMembers(base);
        }
        ClearValue(out);
        out->payload.p = builder_.Object(members_.data() + base, members_.size() - base);
        out->header = header;
        members_.resize(base);
        return true;
      }
      default:
        return false;  // 4, 9 to 31: unknown here
    }
  }

 private:
  size_t Left() const { return static_cast<size_t>(end_ - p_); }

  void DropFrom(size_t base) {
    for (size_t i = base; i < stack_.size(); ++i) ClearValue(&stack_[i]);
    stack_.resize(base);
  }

  // Clears the members from `base` on; false, for the failure that drops them.
  bool DropMembers(size_t base) {
    for (size_t i = base; i < members_.size(); ++i) ClearValue(&members_[i]->value);
    members_.resize(base);
    return false;
  }

  bool Byte(uint8_t* b) {
    if (p_ >= end_) return false;
    *b = *p_++;
    return true;
  }

  // A little-endian number of 1, 2, 4 or 8 bytes (size code 0 to 3).
  bool LE(uint8_t size, uint64_t* v) {
    const size_t bytes = static_cast<size_t>(WidthOf(size));
    if (Left() < bytes) return false;
    switch (size) {
      case vs8: *v = p_[0]; break;
      case vs16: *v = Get<2>(p_); break;
      case vs32: *v = Get<4>(p_); break;
      default: *v = Get<8>(p_); break;
    }
    p_ += bytes;
    return true;
  }

  template <int N>
  static uint64_t Get(const uint8_t* at) {
    uint64_t v = 0;
    for (int i = 0; i < N; ++i) v |= static_cast<uint64_t>(at[i]) << (8 * i);
    return v;
  }

  bool Varint(uint64_t* v) {
    *v = 0;
    for (int i = 0; i < 5; ++i) {
      uint8_t b;
      if (!Byte(&b)) return false;
      *v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
      if (b & 0x80) return true;
    }
    return false;
  }

  // The count includes a terminating NUL unit; the text is taken up to the
  // first NUL. A string without the terminator (as older writers made them)
  // is taken whole.
  template <typename Unit>
  bool LoadString(uint8_t header, value_t* out) {
    const uint8_t size = header >> 5;
    uint64_t count;
    if (!LE(size, &count) || count > Left() / sizeof(Unit)) return false;
    ClearValue(out);
    if constexpr (sizeof(Unit) == 1) {
      const auto* text = reinterpret_cast<const char*>(p_);
      const void* nul = memchr(text, 0, count);
      size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : count;
      out->payload.p = builder_.String(text, length);
      p_ += count;
    } else {
      size_t length = 0;
      while (length < count && Get<2>(p_ + 2 * length) != 0) ++length;
      std::u16string text(length, u'\0');
      for (size_t i = 0; i < length; ++i) text[i] = static_cast<char16_t>(Get<2>(p_ + 2 * i));
      out->payload.p = builder_.String(text.data(), length);
      p_ += 2 * count;
    }
    out->header = header;
    return true;
  }

  const uint8_t* p_;
  const uint8_t* const end_;
  std::vector<value_t> stack_;
  std::vector<Member*> members_;
  ArenaBuilder builder_;
};

}  // namespace

bool SaveBinary(const value_t& value, std::string* out) { return Save(value, out, 0); }

bool LoadBinary(const uint8_t* data, size_t length, value_t* value) {
  Loader loader(data, length);
  return loader.Load(value, 0);
}

}  // namespace xson
