// xsonv_t: the program's own thin layer over the exported functions. It owns
// one value and throws std::runtime_error when an operation fails:
// "ValueInit", "ValueSetType", "change_type" (the value could not become
// the container asked for) or "no item" (a member or element is not there).
#ifndef ZEV_XSON_XSONV_H_
#define ZEV_XSON_XSONV_H_

#include <cstring>
#include <stdexcept>
#include <string>

#include "xson/xson.h"

namespace xson {

class xsonv_t {
 public:
  // The sink that appends to a string.
  class text_out : public ioutput_t {
   public:
    bool Write(const void* bytes, size_t length) override {
      text.append(static_cast<const char*>(bytes), length);
      return true;
    }
    std::string text;
  };

  xsonv_t() {
    if (!XsonValueInit(&v_)) throw std::runtime_error("ValueInit");
  }
  xsonv_t(const xsonv_t& other) : xsonv_t() { XsonValueSet(&other.v_, &v_); }
  xsonv_t& operator=(const xsonv_t& other) {
    if (this != &other) XsonValueSet(&other.v_, &v_);
    return *this;
  }
  ~xsonv_t() { XsonValueClear(&v_); }

  value_t* get() { return &v_; }
  const value_t* get() const { return &v_; }
  uint8_t type() const { return TypeOf(v_); }

  void set_type(uint32_t type, uint32_t size = 0) {
    if (!XsonValueSetType2(&v_, type, size)) throw std::runtime_error("ValueSetType");
  }
  void set_int(int64_t number, uint32_t size = vs64) {
    set_type(vtInteger, size);
    v_.payload.i = number;
  }
  void set_string(const std::string& text) {
    set_type(vtString8);
    static_cast<mbstr_t*>(v_.payload.p)->Assign(text.data(), static_cast<int64_t>(text.size()));
  }
  std::string string() const {
    if (TypeOf(v_) != vtString8) throw std::runtime_error("change_type");
    return static_cast<mbstr_t*>(v_.payload.p)->CStr();
  }
  int64_t integer() const {
    if (TypeOf(v_) != vtInteger) throw std::runtime_error("change_type");
    return v_.payload.i;
  }
  array_t* array() {
    if (TypeOf(v_) != vtArray && !XsonValueSetType(&v_, vtArray)) throw std::runtime_error("change_type");
    return static_cast<array_t*>(v_.payload.p);
  }
  object_t* object() {
    if (TypeOf(v_) != vtObject && !XsonValueSetType(&v_, vtObject)) throw std::runtime_error("change_type");
    return static_cast<object_t*>(v_.payload.p);
  }
  // A shared copy of the member `name`.
  xsonv_t member(const char* name) {
    xsonv_t out;
    if (!object()->Get(name, out.get())) throw std::runtime_error("no item");
    return out;
  }
  void set_member(const char* name, const xsonv_t& value) {
    if (!object()->Set(name, value.get())) throw std::runtime_error("no item");
  }
  std::string to_json() const {
    text_out out;
    if (!XsonValueToJson(&v_, &out)) throw std::runtime_error("change_type");
    return out.text;
  }
  bool from_json(const std::string& text) {
    XsonValueClear(&v_);
    return XsonValueFromJson(&v_, text.c_str(), text.size()) != 0;
  }
  std::string save() const {
    text_out out;
    if (!XsonValueSave(&v_, &out)) throw std::runtime_error("change_type");
    return out.text;
  }
  bool load(const std::string& bytes) { return XsonValueLoad(&v_, bytes.data(), bytes.size()) != 0; }

 private:
  value_t v_;
};

}  // namespace xson

#endif  // ZEV_XSON_XSONV_H_
