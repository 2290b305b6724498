// Sector arithmetic, byte orders, text fields, names and dates of the image.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "iso/iso.h"

namespace {

std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) { return {p, p + n}; }

TEST(Encodings, SectorsRoundsUp) {
  const std::pair<int64_t, int64_t> cases[] = {
      {0, 0}, {1, 1}, {2047, 1}, {2048, 1}, {2049, 2}, {4096, 2}, {0xFFFFFFFFll, 2097152}};
  for (auto [bytes, sectors] : cases) EXPECT_EQ(Sectors(bytes), sectors) << bytes;
}

TEST(Encodings, ByteOrders) {
  EXPECT_EQ(Swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(Swap16(0x0800), 0x0008);
  std::array<uint8_t, 8> b{};
  PutBoth32(b.data(), 0x01020304u);
  EXPECT_EQ(Bytes(b.data(), 8), (std::vector<uint8_t>{4, 3, 2, 1, 1, 2, 3, 4}));
  PutBoth16(b.data(), 2048);
  EXPECT_EQ(Bytes(b.data(), 4), (std::vector<uint8_t>{0x00, 0x08, 0x08, 0x00}));
}

TEST(Encodings, ISOTextIsPaddedAndCutButNotChanged) {
  std::array<uint8_t, 9> b{};
  b[8] = 0xEE;
  PutISOText("abc", b.data(), 8);
  EXPECT_EQ(Bytes(b.data(), 9),
            (std::vector<uint8_t>{0x61, 0x62, 0x63, 0x20, 0x20, 0x20, 0x20, 0x20, 0xEE}));
  PutISOText("abcdefghij", b.data(), 4);
  EXPECT_EQ(Bytes(b.data(), 5), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 0x20}));
}

TEST(Encodings, JolietTextIsBigEndianUtf16) {
  std::array<uint8_t, 8> b{};
  PutJolietText("Ab", b.data(), 8);
  EXPECT_EQ(Bytes(b.data(), 8), (std::vector<uint8_t>{0, 0x41, 0, 0x62, 0, 0x20, 0, 0x20}));
  // Non-ASCII UTF-8, and a character outside the basic plane as a surrogate pair.
  PutJolietText("\xC3\xA9\xF0\x9F\x98\x80", b.data(), 8);
  EXPECT_EQ(Bytes(b.data(), 8), (std::vector<uint8_t>{0, 0xE9, 0xD8, 0x3D, 0xDE, 0x00, 0, 0x20}));
  // Cut at the width, never inside a surrogate pair (its half becomes a space).
  PutJolietText("abcdef", b.data(), 4);
  EXPECT_EQ(Bytes(b.data(), 4), (std::vector<uint8_t>{0, 'a', 0, 'b'}));
  PutJolietText("a\xF0\x9F\x98\x80", b.data(), 4);
  EXPECT_EQ(Bytes(b.data(), 4), (std::vector<uint8_t>{0, 'a', 0, 0x20}));
}

TEST(Encodings, InvalidUtf8BecomesReplacementCharacters) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"a\xFF" "b", u"a\uFFFDb"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},             // overlong
      {"\xE2\x82", u"\uFFFD\uFFFD"},             // cut short
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},   // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82\xAC", u"\u20AC"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Utf8ToUtf16(in), out);
  EXPECT_EQ(JolietBytes("a\xFF"), std::string("\x00" "a" "\xFF\xFD", 4));
  EXPECT_EQ(Utf16Length("\xC3\xA9t\xC3\xA9"), 3u);
}

TEST(Encodings, RecordingDate) {
  const int16_t saved = TimeZoneOffset;
  std::array<uint8_t, 34> r{};
  TimeZoneOffset = -16;
  PutRecordingDate(r.data(), EncodeDateTime({2004, 7, 15, 13, 45, 59, 0}));
  EXPECT_EQ(Bytes(r.data() + 18, 7), (std::vector<uint8_t>{104, 7, 15, 13, 45, 59, 0xF0}));
  TimeZoneOffset = 8;
  PutRecordingDate(r.data(), 0);  // 30 December 1899
  EXPECT_EQ(Bytes(r.data() + 18, 7), (std::vector<uint8_t>{255, 12, 30, 0, 0, 0, 8}));
  EXPECT_EQ(r[17], 0);
  EXPECT_EQ(r[25], 0);
  TimeZoneOffset = saved;
}

TEST(Encodings, DescriptorDate) {
  std::array<uint8_t, 17> d{};
  d.fill(0xEE);
  PutDescriptorDate(d.data(), EncodeDateTime({2004, 1, 2, 3, 4, 5, 5}));
  EXPECT_EQ(std::string(d.begin(), d.begin() + 16), "2004010203040505");
  EXPECT_EQ(d[16], 0);
  PutDescriptorDate(d.data(), EncodeDateTime({2004, 1, 2, 23, 4, 5, 250}));
  EXPECT_EQ(std::string(d.begin(), d.begin() + 16), "2004010223040525");
  PutDescriptorDate(d.data(), 0);
  EXPECT_EQ(std::string(d.begin(), d.begin() + 16), "1899123000000000");
  PutNoDescriptorDate(d.data());
  EXPECT_EQ(std::string(d.begin(), d.begin() + 16), "0000000000000000");
  EXPECT_EQ(d[16], 0);
}

TEST(Encodings, ShortNamesAndUpperCase) {
  EXPECT_EQ(MakeShortName("my folder{1}.tmp"), "MY_FOLDER_1_.");
  EXPECT_EQ(MakeShortName("ab~c"), "AB_C");  // '~' is above 7Ah
  EXPECT_EQ(MakeShortName("x\xC3\xA9"), "X__");
  EXPECT_EQ(MakeShortName(""), "");
  EXPECT_EQ(UpperCase("abz\xC3\xA9[`{AZ09"), "ABZ\xC3\xA9[`{AZ09");
}

TEST(Encodings, WindowsMaskRules) {
  struct Case {
    const char* name;
    const char* mask;
    bool match;
  };
  const Case cases[] = {
      {"README", "*.*", true},   {"a.b.c", "*.*", true},    {".hidden", "*.*", true},
      {"a.TXT", "*.txt", true},  {"a.txt", "*.doc", false}, {"a.txt.bak", "*.txt", false},
      {"abc", "a?c", true},      {"ac", "a?c", false},      {"abc", "*.", true},
      {"a.b", "*.", false},      {"File.Tar.Gz", "*.gz", true}, {"x", "", true},
      {"ab", "a", false},        {"abc", "*", true},        {"abc", "A*C", true},
      {"aXbXc", "a*b*c", true},  {"aXbXd", "a*b*c", false},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchesMask(c.name, c.mask), c.match) << c.name << " " << c.mask;
}

TEST(Encodings, PackedDosDates) {
  TDateTime t = 0;
  const int32_t packed = DateTimeToFileDate(EncodeDateTime({2004, 5, 6, 7, 8, 11, 400}));
  ASSERT_TRUE(TryFileDateToDateTime(packed, t));
  TDateParts p = DecodeDateTime(t);
  EXPECT_EQ(std::vector<int>({p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second}),
            std::vector<int>({2004, 5, 6, 7, 8, 10}));
  // Outside 1980-2107 the nearest end.
  p = DecodeDateTime(FileDateToDateTime(DateTimeToFileDate(EncodeDateTime({1970, 6, 1, 12, 0, 0, 0}))));
  EXPECT_EQ(std::vector<int>({p.Year, p.Month, p.Day, p.Hour}), std::vector<int>({1980, 1, 1, 0}));
  p = DecodeDateTime(FileDateToDateTime(DateTimeToFileDate(EncodeDateTime({2200, 6, 1, 12, 0, 0, 0}))));
  EXPECT_EQ(std::vector<int>({p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second}),
            std::vector<int>({2107, 12, 31, 23, 59, 58}));
  // Month 0 is no date.
  EXPECT_FALSE(TryFileDateToDateTime(0, t));
  EXPECT_EQ(t, 0);
}

}  // namespace
