// xson beside JsonCpp and RapidJSON (its DOM, default flags) on the same
// 1 MiB JSON document of mixed objects, arrays, numbers and strings, in the
// same run: parse and print MB/s; then xson's binary form (save and load) of
// the same value.
#include <json/json.h>
#if ZEV_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#endif

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "bench/bench_util.h"
#include "xson/xsonv.h"

namespace zev {

namespace {

std::string MakeDocument(size_t target) {
  std::mt19937 rng(3);
  std::string doc = "[";
  for (int i = 0; doc.size() < target; ++i) {
    if (i) doc += ",";
    doc += "{\"id\":" + std::to_string(rng() % 1000000) + ",\"name\":\"component-" + std::to_string(i) +
           "\",\"ratio\":" + std::to_string((rng() % 10000) / 100.0) + ",\"enabled\":" +
           (rng() % 2 ? "true" : "false") + ",\"tags\":[\"a\",\"b" + std::to_string(i % 7) +
           "\"],\"limits\":{\"min\":" + std::to_string(rng() % 100) + ",\"max\":" + std::to_string(rng() % 1000) +
           ",\"note\":\"line\\nbreak \\u00e9\"}}";
  }
  return doc + "]";
}

double MBps(size_t bytes, const std::function<void()>& fn) {
  fn();
  int64_t t0 = NowNanos();
  int n = 0;
  do {
    fn();
    ++n;
  } while (NowNanos() - t0 < 1000000000);
  return static_cast<double>(bytes) * n / ((NowNanos() - t0) / 1e9) / 1e6;
}

}  // namespace

}  // namespace zev

int main() {
  using namespace zev;
  const std::string doc = MakeDocument(1 << 20);
  printf("xson_bench: document of %zu bytes\n", doc.size());

  double xson_parse = MBps(doc.size(), [&] {
    xson::value_t v;
    XsonValueInit(&v);
    XsonValueFromJson(&v, doc.data(), doc.size());
    XsonValueClear(&v);
  });
#if ZEV_HAVE_RAPIDJSON
  double rapidjson_parse = MBps(doc.size(), [&] {
    rapidjson::Document d;
    d.Parse(doc.data(), doc.size());
  });
#endif
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  double jsoncpp_parse = MBps(doc.size(), [&] {
    Json::Value root;
    std::string errors;
    reader->parse(doc.data(), doc.data() + doc.size(), &root, &errors);
  });

  xson::value_t v;
  XsonValueInit(&v);
  XsonValueFromJson(&v, doc.data(), doc.size());
  xson::xsonv_t::text_out printed;
  XsonValueToJson(&v, &printed);
  double xson_print = MBps(printed.text.size(), [&] {
    xson::xsonv_t::text_out out;
    XsonValueToJson(&v, &out);
  });
  Json::Value root;
  std::string errors;
  reader->parse(doc.data(), doc.data() + doc.size(), &root, &errors);
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  std::string jsoncpp_text = Json::writeString(writer, root);
  double jsoncpp_print = MBps(jsoncpp_text.size(), [&] { Json::writeString(writer, root); });

  xson::xsonv_t::text_out saved;
  XsonValueSave(&v, &saved);
  double save = MBps(saved.text.size(), [&] {
    xson::xsonv_t::text_out out;
    XsonValueSave(&v, &out);
  });
  double load = MBps(saved.text.size(), [&] {
    xson::value_t w;
    XsonValueInit(&w);
    XsonValueLoad(&w, saved.text.data(), saved.text.size());
    XsonValueClear(&w);
  });
  XsonValueClear(&v);

  printf("parse   xson %8.1f MB/s   JsonCpp %8.1f MB/s   ratio %.2f\n", xson_parse, jsoncpp_parse,
         xson_parse / jsoncpp_parse);
#if ZEV_HAVE_RAPIDJSON
  printf("parse   xson %8.1f MB/s   RapidJSON %6.1f MB/s   ratio %.2f\n", xson_parse, rapidjson_parse,
         xson_parse / rapidjson_parse);
#endif
  printf("print   xson %8.1f MB/s   JsonCpp %8.1f MB/s   ratio %.2f\n", xson_print, jsoncpp_print,
         xson_print / jsoncpp_print);
  printf("binary  save %8.1f MB/s   load    %8.1f MB/s   (%zu bytes)   load/save %.2f\n", save, load,
         saved.text.size(), load / save);
  return 0;
}
