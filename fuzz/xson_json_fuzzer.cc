// Arbitrary text through XsonValueFromJson; whatever parses must print, and
// printed text must parse again. After one round the text is stable ("%g"
// may turn a real into an integer text once, as 3.0 prints as 3).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xson/xsonv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  xson::value_t v;
  XsonValueInit(&v);
  if (XsonValueFromJson(&v, reinterpret_cast<const char*>(data), size)) {
    xson::xsonv_t::text_out out;
    if (!XsonValueToJson(&v, &out)) abort();
    xson::value_t again;
    XsonValueInit(&again);
    if (!XsonValueFromJson(&again, out.text.data(), out.text.size())) abort();
    xson::xsonv_t::text_out out2;
    if (!XsonValueToJson(&again, &out2)) abort();
    xson::value_t third;
    XsonValueInit(&third);
    if (!XsonValueFromJson(&third, out2.text.data(), out2.text.size())) abort();
    xson::xsonv_t::text_out out3;
    if (!XsonValueToJson(&third, &out3) || out3.text != out2.text) abort();
    XsonValueClear(&third);
    xson::xsonv_t::text_out saved;
    XsonValueSave(&v, &saved);  // may refuse (long strings); must not crash
    XsonValueClear(&again);
  }
  XsonValueClear(&v);
  return 0;
}
