#include "platform/text.h"

#include <gtest/gtest.h>

namespace zev {

TEST(Text, SizeToTextUsesTheUnitThresholds) {
  EXPECT_EQ(SizeToText(0), "0 B");
  EXPECT_EQ(SizeToText(1024), "1024 B");
  EXPECT_EQ(SizeToText(1536), "1.5 KB");
  EXPECT_EQ(SizeToText(1048576), "1024.0 KB");
  EXPECT_EQ(SizeToText(1048577), "1.0 MB");
  EXPECT_EQ(SizeToText(1073741824ULL), "1024.0 MB");
  EXPECT_EQ(SizeToText(3ULL * 1073741824ULL), "3.0 GB");
}

TEST(Text, UrlEncodeKeepsUnreservedAndEscapesTheRest) {
  EXPECT_EQ(UrlEncode(" "), "+");
  EXPECT_EQ(UrlEncode("\xE4"), "%E4");
  EXPECT_EQ(UrlEncode("aZ09-_.~"), "aZ09-_.~");
  EXPECT_EQ(UrlEncode("a=b&c/d"), "a%3Db%26c%2Fd");
  EXPECT_EQ(UrlEncode(std::string("\0", 1)), "%00");
}

TEST(Text, ReplaceAllRepeatsUntilNoOccurrenceIsLeft) {
  std::string quotes = "\"\"\"\"";
  ReplaceAll(quotes, "\"", "");
  EXPECT_EQ(quotes, "");

  // Removing "ab" from "aabb" forms a new "ab", which goes too.
  std::string nested = "aabb";
  ReplaceAll(nested, "ab", "");
  EXPECT_EQ(nested, "");

  std::string blanks = "C:/Program Files/x y";
  ReplaceAll(blanks, " ", "##");
  ReplaceAll(blanks, "##", "\" \"");
  EXPECT_EQ(blanks, "C:/Program\" \"Files/x\" \"y");

  // A replacement that contains the searched text must still end.
  std::string growing = "a-a";
  ReplaceAll(growing, "a", "aa");
  EXPECT_EQ(growing, "aa-aa");

  std::string empty;
  ReplaceAll(empty, "x", "y");
  EXPECT_EQ(empty, "");
}

TEST(Text, TrimLineEndRemovesOneCharacterOnly) {
  EXPECT_EQ(TrimLineEnd("abc\r\n"), "abc\r");
  EXPECT_EQ(TrimLineEnd("abc\r"), "abc");
  EXPECT_EQ(TrimLineEnd("abc"), "abc");
  EXPECT_EQ(TrimLineEnd(""), "");
}

TEST(Text, ParseKeyValueListSplitsAtFirstColonAndLaterNamesWin) {
  std::map<std::string, std::string> out;
  EXPECT_FALSE(ParseKeyValueList("", ";", &out));
  EXPECT_FALSE(ParseKeyValueList("a:1", "", &out));
  ASSERT_TRUE(ParseKeyValueList("a:1;b:http://x:80;a:2;junk", ";", &out));
  EXPECT_EQ(out.size(), 2u);
  EXPECT_EQ(out["a"], "2");
  EXPECT_EQ(out["b"], "http://x:80");
}

TEST(Text, FormatTextShortCutsAt999Bytes) {
  std::string long_text(5000, 'x');
  EXPECT_EQ(FormatTextShort("%s", long_text.c_str()).size(), 999u);
  EXPECT_EQ(FormatText("%s", long_text.c_str()).size(), 5000u);
  EXPECT_EQ(FormatText("%d-%s", 7, "x"), "7-x");
}

TEST(Text, WideConversionsRoundTripAndRejectMalformedInput) {
  std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";  // a, e-acute, CJK, emoji
  std::u16string wide = ToWide(text);
  ASSERT_EQ(wide.size(), 5u);  // the emoji takes a surrogate pair
  EXPECT_EQ(FromWide(wide), text);

  EXPECT_TRUE(ToWide("\xC3").empty());          // truncated sequence
  EXPECT_TRUE(ToWide("\xC0\xAF").empty());      // overlong "/"
  EXPECT_TRUE(ToWide("\xED\xA0\x80").empty());  // encoded surrogate
  EXPECT_TRUE(FromWide(std::u16string(1, u'\xD800')).empty());

  EXPECT_EQ(AnsiToUtf8("plain"), "plain");
  EXPECT_EQ(AnsiToUtf8("bad\xFF"), "");
  EXPECT_EQ(Utf8ToAnsi(""), "");
}

TEST(Text, OtherCodePagesGoThroughIconv) {
  const std::string gbk = "\xBA\xAF\xCA\xFD";  // two characters in code page 936
  std::u16string wide = ToWide(gbk, 936);
  ASSERT_EQ(wide.size(), 2u);
  EXPECT_EQ(FromWide(wide, kCodePageUtf8), "\xE5\x87\xBD\xE6\x95\xB0");
  EXPECT_EQ(FromWide(wide, 936), gbk);
  EXPECT_TRUE(ToWide("x", 999999).empty());
}

TEST(Text, Utf8HelpersNeverSplitACharacter) {
  std::string text = "ab\xE4\xB8\xAD";
  EXPECT_EQ(Utf8CutLength(text, 4), 2u);
  EXPECT_EQ(Utf8CutLength(text, 5), 5u);
  EXPECT_EQ(SanitizeUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_TRUE(IsValidUtf8(SanitizeUtf8("\xE4\xB8")));
}

}  // namespace zev
