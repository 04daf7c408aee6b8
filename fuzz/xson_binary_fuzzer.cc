// Arbitrary bytes through XsonValueLoad; whatever loads must save, and the
// saved bytes must load and save to the same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xson/xsonv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  xson::value_t v;
  XsonValueInit(&v);
  if (XsonValueLoad(&v, data, size)) {
    xson::xsonv_t::text_out json;
    XsonValueToJson(&v, &json);
    xson::xsonv_t::text_out saved;
    if (XsonValueSave(&v, &saved)) {
      xson::value_t again;
      XsonValueInit(&again);
      if (!XsonValueLoad(&again, saved.text.data(), saved.text.size())) abort();
      xson::xsonv_t::text_out saved2;
      if (!XsonValueSave(&again, &saved2) || saved2.text != saved.text) abort();
      XsonValueClear(&again);
    }
  }
  XsonValueClear(&v);
  return 0;
}
