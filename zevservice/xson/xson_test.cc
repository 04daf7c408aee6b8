// xson through its exported functions, as an outside caller uses it.
#include "xson/xson.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "xson/xsonv.h"

namespace zev {

using namespace xson;

namespace {

struct Value {
  Value() { XsonValueInit(&v); }
  ~Value() { XsonValueClear(&v); }
  value_t v;
};

std::string ToJson(const value_t& v, bool* ok = nullptr) {
  xsonv_t::text_out out;
  uint64_t rc = XsonValueToJson(&v, &out);
  if (ok) *ok = rc != 0;
  return out.text;
}

bool FromJson(value_t* v, const std::string& text) {
  XsonValueClear(v);
  return XsonValueFromJson(v, text.data(), text.size()) != 0;
}

std::string Save(const value_t& v, bool* ok = nullptr) {
  xsonv_t::text_out out;
  uint64_t rc = XsonValueSave(&v, &out);
  if (ok) *ok = rc != 0;
  return out.text;
}

// The payload sits at offset 4 of a packed record: read it by value, never
// by reference (a reference to it may be misaligned).
int64_t Int(const value_t& v) { return v.payload.i; }

array_t* Array(value_t& v) { return static_cast<array_t*>(v.payload.p); }
object_t* Object(value_t& v) { return static_cast<object_t*>(v.payload.p); }

}  // namespace

TEST(Xson, RecordLayoutAndTypeChecks) {
  static_assert(sizeof(value_t) == 12);
  static_assert(offsetof(value_t, payload) == 4);
  Value a;
  EXPECT_TRUE(XsonValueCheckType(&a.v, vtNull));
  ASSERT_TRUE(XsonValueSetType2(&a.v, vtInteger, vs32));
  EXPECT_EQ(a.v.header, vtInteger | (vs32 << 5));
  EXPECT_TRUE(XsonValueCheckType2(&a.v, vtInteger, vs32));
  EXPECT_FALSE(XsonValueCheckType2(&a.v, vtInteger, vs64));
  EXPECT_TRUE(XsonValueCheckTypes(&a.v, 1u << vtInteger | 1u << vtReal));
  EXPECT_FALSE(XsonValueCheckTypes(&a.v, 1u << vtReal));
  EXPECT_EQ(XsonValueInit(nullptr), 0u);
  EXPECT_EQ(XsonValueClear(nullptr), 0u);
  EXPECT_EQ(XsonValueSet(nullptr, &a.v), 0u);
  EXPECT_EQ(XsonValueToJson(&a.v, nullptr), 0u);
  EXPECT_EQ(XsonValueFromJson(&a.v, nullptr, 3), 0u);
  EXPECT_EQ(XsonValueLoad(&a.v, "x", 0), 0u);
}

TEST(Xson, SetTypeKeepsContentOfTheSameType) {
  Value a;
  ASSERT_TRUE(XsonValueSetType(&a.v, vtArray));
  Value one;
  XsonValueSetType2(&one.v, vtInteger, vs64);
  one.v.payload.i = 1;
  Array(a.v)->Append(&one.v);
  ASSERT_TRUE(XsonValueSetType(&a.v, vtArray));
  EXPECT_EQ(Array(a.v)->Count(), 1u);
  ASSERT_TRUE(XsonValueSetType2(&a.v, vtArray, vs16));  // only the size bits change
  EXPECT_EQ(Array(a.v)->Count(), 1u);
  EXPECT_TRUE(XsonValueCheckType2(&a.v, vtArray, vs16));
  ASSERT_TRUE(XsonValueSetType(&a.v, vtObject));
  EXPECT_EQ(Object(a.v)->Count(), 0u);
}

TEST(Xson, SetSharesContainersWhileCloneCopiesTheTopLevel) {
  Value a, shared, cloned;
  FromJson(&a.v, "[1,[2,3]]");
  ASSERT_TRUE(XsonValueSet(&a.v, &shared.v));
  ASSERT_TRUE(XsonValueClone(&a.v, &cloned.v));
  Value four;
  XsonValueSetType2(&four.v, vtInteger, vs64);
  four.v.payload.i = 4;
  Array(shared.v)->Append(&four.v);
  EXPECT_EQ(ToJson(a.v), "[1,[2,3],4]");    // seen through both shared values
  EXPECT_EQ(ToJson(cloned.v), "[1,[2,3]]");  // not through the clone
  Array(*Array(a.v)->At(1, false))->Append(&four.v);
  EXPECT_EQ(ToJson(cloned.v), "[1,[2,3,4]]");  // the nested array is still shared

  Value s;
  XsonValueSetType(&s.v, vtString8);
  static_cast<mbstr_t*>(s.v.payload.p)->Assign("this text is longer than ten", -1);
  ASSERT_TRUE(XsonValueClone(&s.v, &cloned.v));
  static_cast<mbstr_t*>(s.v.payload.p)->Assign("changed", -1);
  EXPECT_EQ(ToJson(cloned.v), "\"this text is longer than ten\"");
}

TEST(Xson, JsonReaderTypesAndErrors) {
  Value v;
  ASSERT_TRUE(FromJson(&v.v, "3.0"));
  EXPECT_TRUE(XsonValueCheckType(&v.v, vtReal));
  ASSERT_TRUE(FromJson(&v.v, "3"));
  EXPECT_TRUE(XsonValueCheckType2(&v.v, vtInteger, vs64));
  ASSERT_TRUE(FromJson(&v.v, "-3"));
  EXPECT_EQ(Int(v.v), -3);
  ASSERT_TRUE(FromJson(&v.v, "true"));
  EXPECT_TRUE(XsonValueCheckType2(&v.v, vtInteger, vs32));
  EXPECT_EQ(Int(v.v), 1);
  ASSERT_TRUE(FromJson(&v.v, "18446744073709551617"));  // wraps modulo 2^64
  EXPECT_EQ(Int(v.v), 1);
  ASSERT_TRUE(FromJson(&v.v, " /* c */ {\"b\":[1,2], // line\n \"a\":\"x\\u00e9\\ud83d\\ude00\", \"a\":\"y\"} trailing"));
  EXPECT_EQ(ToJson(v.v), "{\"a\":\"y\",\"b\":[1,2]}");
  ASSERT_TRUE(FromJson(&v.v, "\"x\\u00e9\\ud83d\\ude00\\/\""));
  EXPECT_EQ(ToJson(v.v), "\"x\xC3\xA9\xF0\x9F\x98\x80/\"");
  ASSERT_TRUE(FromJson(&v.v, "\"/ASCIIHEX/0A\""));
  EXPECT_TRUE(XsonValueCheckType(&v.v, vtString8));

  for (const char* bad : {"[1 2]", "{\"a\" 1}", "{\"a\":1 \"b\":2}", "{1:2}", "{\"\":1}", "\"\\q\"", "\"\\u12G4\"",
                          "\"\\ud83d\"", "\"\\ud83dxxxxxx\"", "-", "e5", "[1,]", "", "   ", "nul", "\"open"}) {
    Value keep;
    XsonValueSetType2(&keep.v, vtInteger, vs64);
    keep.v.payload.i = 77;
    EXPECT_FALSE(XsonValueFromJson(&keep.v, bad, strlen(bad))) << bad;
    EXPECT_EQ(Int(keep.v), 77) << bad;  // left as it was
  }
  std::string name255 = "{\"" + std::string(255, 'n') + "\":1}";
  EXPECT_FALSE(FromJson(&v.v, name255));
  std::string deep(100000, '[');
  EXPECT_FALSE(FromJson(&v.v, deep));  // no stack exhaustion
  const char nul_text[] = "[1]\0garbage";
  EXPECT_TRUE(XsonValueFromJson(&v.v, nul_text, ~0ull));
}

// Strings are read in place up to their first escape and numbers up to the
// end of the given length, which need not be the end of the text.
TEST(Xson, JsonReaderAtEscapesAndTextEnds) {
  struct Case {
    std::string text;
    size_t length;     // of text used; npos: all of it
    const char* json;  // printed back; null: refused
  };
  const size_t all = std::string::npos;
  const Case cases[] = {
      {"\"ab\\tcd\\u00e9\"", all, "\"ab\\tcd\xC3\xA9\""},
      {"[\"\\\\\",\"plain\",\"x\\\"\"]", all, "[\"\\\\\",\"plain\",\"x\\\"\"]"},
      {"{\"k\\u0041\":\"v\\/w\",\"B\":\"\\ud83d\\ude00z\"}", all, "{\"B\":\"\xF0\x9F\x98\x80z\",\"kA\":\"v/w\"}"},
      {"{\"a\\\"\":1,\"a\\u0022\":2}", all, "{\"a\\\"\":2}"},
      {"\"ab\\", all, nullptr},
      {"\"\\udc00\"", all, "\"\xEF\xBF\xBD\""},
      {"12345", 3, "123"},
      {"-7", 1, nullptr},
      {"2.5e3", 4, "2.5"},
      {"1e999", all, "null"},
      {"1.2.3", all, "1.2"},
      {"[1,2]", 4, nullptr},
  };
  for (const Case& c : cases) {
    Value v;
    bool ok = XsonValueFromJson(&v.v, c.text.data(), c.length == all ? c.text.size() : c.length) != 0;
    EXPECT_EQ(ok ? ToJson(v.v) : "refused", c.json ? c.json : "refused") << c.text;
  }
}

// Nesting up to the limit is read (into arrays of their exact length); one
// more level is refused.
TEST(Xson, NestingUpToTheLimit) {
  for (int levels : {512, 513}) {
    std::string open, close;
    for (int i = 0; i < levels; ++i) {
      open += i % 2 ? "{\"k\":" : "[0,";
      close = (i % 2 ? "}" : ",\"e\"]") + close;
    }
    Value v;
    bool ok = FromJson(&v.v, open + "1" + close);
    EXPECT_EQ(ok ? ToJson(v.v) : "refused", levels == 512 ? open + "1" + close : "refused");
  }
}

TEST(Xson, JsonWriterFormats) {
  Value v;
  XsonValueSetType(&v.v, vtReal);
  v.v.payload.r = 3.14159265;
  EXPECT_EQ(ToJson(v.v), "3.14159");
  XsonValueSetType2(&v.v, vtInteger, vs8);
  v.v.payload.i = -5;
  EXPECT_EQ(ToJson(v.v), "-5");
  XsonValueSetType(&v.v, vtBoolean);
  v.v.payload.b = 2;
  EXPECT_EQ(ToJson(v.v), "true");
  XsonValueSetType(&v.v, vtString8);
  static_cast<mbstr_t*>(v.v.payload.p)->Assign("\x01\"\\\b\f\n\r\t\x7f", -1);
  EXPECT_EQ(ToJson(v.v), "\"\\u0001\\\"\\\\\\b\\f\\n\\r\\t\x7f\"");
  XsonValueSetType(&v.v, vtBuffer);
  static_cast<buffer_t*>(v.v.payload.p)->Assign("\x00\xAB", 2);
  EXPECT_EQ(ToJson(v.v), "\"/ASCIIHEX/00AB\"");
  XsonValueSetType(&v.v, vtString16);
  const char16_t wide[] = {u'a', 0xD83D, 0xDE00, 0xDC00, u'b', 0};
  static_cast<wcstr_t*>(v.v.payload.p)->Assign(wide, -1);
  EXPECT_EQ(ToJson(v.v), "\"a\xF0\x9F\x98\x80\"");  // ends at the unpaired surrogate

  // A value that contains itself is refused instead of recursing forever.
  Value loop;
  XsonValueSetType(&loop.v, vtArray);
  Array(loop.v)->Append(&loop.v);
  bool ok = true;
  ToJson(loop.v, &ok);
  EXPECT_FALSE(ok);
  Save(loop.v, &ok);
  EXPECT_FALSE(ok);
  Array(loop.v)->Clear();  // breaks the cycle so that the count reaches zero
}

TEST(Xson, ObjectNamesHaveOneTo254Bytes) {
  Value o, one;
  XsonValueSetType(&o.v, vtObject);
  XsonValueSetType2(&one.v, vtInteger, vs64);
  EXPECT_FALSE(Object(o.v)->Set(std::string(255, 'n').c_str(), &one.v));
  EXPECT_FALSE(Object(o.v)->Set("", &one.v));
  EXPECT_EQ(Object(o.v)->Find("", true), nullptr);
  ASSERT_TRUE(Object(o.v)->Set(std::string(254, 'n').c_str(), &one.v));
  bool ok = false;
  std::string bytes = Save(o.v, &ok);
  EXPECT_TRUE(ok);
  Value back;
  ASSERT_TRUE(XsonValueLoad(&back.v, bytes.data(), bytes.size()));
  EXPECT_EQ(ToJson(back.v), ToJson(o.v));
}

TEST(Xson, BinaryFormRoundTripsAndEncodesCountsAndIndices) {
  Value v;
  std::string array300 = "[";
  for (int i = 0; i < 300; ++i) array300 += (i ? "," : "") + std::to_string(i);
  array300 += "]";
  ASSERT_TRUE(FromJson(&v.v, array300));
  bool ok = false;
  std::string bytes = Save(v.v, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), vtArray | (vs16 << 5));
  EXPECT_EQ(bytes.substr(1, 2), std::string("\x2c\x01", 2));
  std::string index200 = std::string("\x48\x81", 2) + std::string(1, static_cast<char>(vtInteger | (vs64 << 5)));
  EXPECT_NE(bytes.find(index200 + std::string("\xc8\0\0\0\0\0\0\0", 8)), std::string::npos);
  Value back;
  ASSERT_TRUE(XsonValueLoad(&back.v, bytes.data(), bytes.size()));
  EXPECT_EQ(ToJson(back.v), array300);

  // Every kind the writer saves loads again, strings included.
  const std::string doc = "{\"e\":\"\",\"n\":null,\"r\":2.5,\"s\":\"text \xC3\xA9\",\"t\":{\"x\":[-1,\"y\"]}}";
  ASSERT_TRUE(FromJson(&v.v, doc));
  bytes = Save(v.v, &ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(XsonValueLoad(&back.v, (bytes + "ignored").data(), bytes.size() + 7));
  EXPECT_EQ(ToJson(back.v), doc);
  XsonValueSetType(&v.v, vtString16);
  static_cast<wcstr_t*>(v.v.payload.p)->Assign(u"wide", -1);
  bytes = Save(v.v, &ok);
  ASSERT_TRUE(XsonValueLoad(&back.v, bytes.data(), bytes.size()));
  EXPECT_TRUE(XsonValueCheckType(&back.v, vtString16));
  EXPECT_EQ(ToJson(back.v), "\"wide\"");
  // A string written without its terminator by an older writer loads too.
  std::string old = std::string(1, static_cast<char>(vtString8)) + "\x03" + "abc";
  ASSERT_TRUE(XsonValueLoad(&back.v, old.data(), old.size()));
  EXPECT_EQ(ToJson(back.v), "\"abc\"");

  XsonValueSetType(&v.v, vtBoolean);
  Save(v.v, &ok);
  EXPECT_FALSE(ok);
}

TEST(Xson, BinaryReaderRefusesMalformedInput) {
  const std::vector<std::string> bad = {
      std::string("\x04", 1),                            // unused type
      std::string("\x09", 1),                            // no COM references in data
      std::string("\x10\x01\0\0\0", 5),                  // boolean
      std::string("\x81\x01", 2),                        // size code 4
      std::string("\x61\x01\x02", 3),                    // truncated 64-bit integer
      std::string("\x03\x05" "ab", 4),                   // truncated string
      std::string("\x07\x02\x80\x00", 4),                // array: second element missing
      std::string("\x07\x01\xff\xff\xff\xff\x0f\x00", 8),  // index far past the count
      std::string("\x08\x01\x00\x00", 4),                // member name length 0
      std::string("\x08\x01\x02" "ab\x00", 6),           // name not terminated where L says
      std::string("\x08\x01\x01\x00\x00", 5),            // empty member name
      std::string("\x46\xff\xff\xff\xff", 5),            // buffer longer than the input
  };
  for (const std::string& b : bad) {
    Value v;
    EXPECT_FALSE(XsonValueLoad(&v.v, b.data(), b.size())) << testing::PrintToString(b);
    EXPECT_TRUE(XsonValueCheckType(&v.v, vtNull));
  }
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += std::string("\x07\x01\x80", 3);
  Value v;
  EXPECT_FALSE(XsonValueLoad(&v.v, deep.data(), deep.size()));
}

// Array elements name their slot: the array is as long as the highest index
// read, slots not named are null and a later element replaces an earlier.
// Every shortened form of a saved value is refused.
TEST(Xson, BinaryArraySlotsAndTruncation) {
  const std::string i8 = std::string(1, static_cast<char>(vtInteger));
  const std::pair<std::string, const char*> cases[] = {
      {std::string("\x07\x03", 2) + "\x82" + i8 + "\x05" + "\x80" + i8 + "\x06" + "\x82" + i8 + "\x07", "[6,null,7]"},
      {std::string("\x07\x02", 2) + "\x80" + i8 + "\x01" + "\x80" + i8 + "\x02", "[2]"},
      {std::string("\x08\x02\x02", 3) + "a" + std::string(1, '\0') + i8 + "\x01" + "\x02" + "a" +
           std::string(1, '\0') + "\x03\x02x" + std::string(1, '\0'),
       "{\"a\":\"x\"}"},
      {std::string("\x08\x03\x02", 3) + "b" + std::string(1, '\0') + i8 + "\x01" + "\x02" + "a" + std::string(1, '\0') +
           i8 + "\x02" + "\x02" + "b" + std::string(1, '\0') + i8 + "\x03",
       "{\"a\":2,\"b\":3}"},
  };
  for (const auto& [bytes, json] : cases) {
    Value v;
    ASSERT_TRUE(XsonValueLoad(&v.v, bytes.data(), bytes.size())) << testing::PrintToString(bytes);
    EXPECT_EQ(ToJson(v.v), json);
  }

  Value doc;
  ASSERT_TRUE(FromJson(&doc.v, "{\"a\":[1,\"two\",[2.5,null]],\"b\":{\"c\":\"\",\"d\":-300}}"));
  const std::string bytes = Save(doc.v);
  for (size_t n = 1; n < bytes.size(); ++n) {
    Value v;
    EXPECT_FALSE(XsonValueLoad(&v.v, bytes.data(), n)) << n;
    EXPECT_TRUE(XsonValueCheckType(&v.v, vtNull)) << n;
  }
  Value whole;
  ASSERT_TRUE(XsonValueLoad(&whole.v, bytes.data(), bytes.size()));
  EXPECT_EQ(Save(whole.v), bytes);
}

TEST(Xson, ContainerOperations) {
  Value a, x;
  XsonValueSetType(&a.v, vtArray);
  XsonValueSetType2(&x.v, vtInteger, vs64);
  x.v.payload.i = 9;
  ASSERT_TRUE(Array(a.v)->SetAt(3, &x.v));
  EXPECT_EQ(Array(a.v)->Count(), 4u);
  EXPECT_TRUE(XsonValueCheckType(Array(a.v)->At(0, false), vtNull));
  EXPECT_EQ(Array(a.v)->At(10, false), nullptr);
  Value out;
  EXPECT_TRUE(Array(a.v)->GetAt(3, &out.v));
  EXPECT_EQ(Int(out.v), 9);
  EXPECT_FALSE(Array(a.v)->GetAt(4, &out.v));
  EXPECT_TRUE(Array(a.v)->RemoveAt(0));
  EXPECT_FALSE(Array(a.v)->RemoveAt(3));
  int visited = 0;
  Array(a.v)->Enumerate([](uint64_t, const value_t*, bool last, void* user) {
    ++*static_cast<int*>(user);
    return !last;
  }, &visited);
  EXPECT_EQ(visited, 3);

  Value o;
  XsonValueSetType(&o.v, vtObject);
  Object(o.v)->Set("b", &x.v);
  Object(o.v)->Set("a", &x.v);
  std::string names;
  Object(o.v)->Enumerate([](const char* name, const value_t*, bool, void* user) {
    *static_cast<std::string*>(user) += name;
    return true;
  }, &names);
  EXPECT_EQ(names, "ab");
  EXPECT_TRUE(Object(o.v)->Remove("a"));
  EXPECT_FALSE(Object(o.v)->Get("a", &out.v));
  EXPECT_NE(Object(o.v)->Find("c", true), nullptr);
  EXPECT_EQ(Object(o.v)->Count(), 2u);

  // A parsed document's containers grow past what was read, a member stays
  // where it is while others are added, and outlives its document.
  Value doc, kept;
  ASSERT_TRUE(FromJson(&doc.v, "{\"m\":\"short\",\"list\":[1]}"));
  value_t* m = Object(doc.v)->Find("m", false);
  for (int i = 0; i < 40; ++i) Object(doc.v)->Find(("n" + std::to_string(i)).c_str(), true);
  EXPECT_EQ(Object(doc.v)->Find("m", false), m);
  static_cast<mbstr_t*>(m->payload.p)->Assign("a text longer than the one read", -1);
  for (int i = 0; i < 10; ++i) Array(*Object(doc.v)->Find("list", false))->Append(&x.v);
  EXPECT_EQ(Array(*Object(doc.v)->Find("list", false))->Count(), 11u);
  ASSERT_TRUE(Object(doc.v)->Get("m", &kept.v));
  XsonValueClear(&doc.v);
  EXPECT_EQ(ToJson(kept.v), "\"a text longer than the one read\"");

  xsonv_t helper;
  EXPECT_THROW(helper.member("missing"), std::runtime_error);
  helper.set_int(5);
  EXPECT_THROW(helper.string(), std::runtime_error);
}

TEST(Xson, SharedValuesAreCopiedAndClearedOnManyThreads) {
  Value root;
  FromJson(&root.v, "{\"list\":[1,2,3],\"name\":\"shared\"}");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        Value copy;
        XsonValueSet(&root.v, &copy.v);
        Value member;
        Object(copy.v)->Get("list", &member.v);
        Value again;
        XsonValueSet(&member.v, &again.v);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ToJson(root.v), "{\"list\":[1,2,3],\"name\":\"shared\"}");
  // One reference left: the root's (AddRef then Release answer 2 then 1).
  auto* container = static_cast<complex_t*>(root.v.payload.p);
  EXPECT_EQ(container->AddRef(), 2u);
  EXPECT_EQ(container->Release(), 1u);
}

}  // namespace zev
