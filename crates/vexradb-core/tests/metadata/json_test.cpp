#include "metadata/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace vexradb {
namespace {

std::string parse_failure(std::string_view text) {
  auto parsed = parse_json(text);
  if (parsed) return "parsed as " + write_json(*parsed);
  const auto* failure = parsed.error().get_if<errors::Serialization>();
  if (failure == nullptr) return "failed with another error kind";
  return failure->text;
}

Json parse_ok(std::string_view text) {
  auto parsed = parse_json(text);
  EXPECT_TRUE(parsed.has_value()) << text << ": " << parse_failure(text);
  return parsed ? *parsed : Json();
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// The column counts the bytes consumed on the line, the offending byte included; at the end of
// the input every byte counts.
TEST(JsonParseTest, FailuresNameTheFaultAndWhereItWasFound) {
  const std::pair<std::string, std::string> cases[] = {
      // Structure.
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"x", "expected value at line 1 column 1"},
      {"{}x", "trailing characters at line 1 column 3"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,}", "key must be a string at line 1 column 8"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1,]", "expected value at line 1 column 4"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1,", "EOF while parsing an object at line 1 column 7"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      // Literals.
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"trux", "expected ident at line 1 column 4"},
      {"nulL", "expected ident at line 1 column 4"},
      {"[fals]", "expected ident at line 1 column 6"},
      {"NaN", "expected value at line 1 column 1"},
      // Numbers.
      {"01", "invalid number at line 1 column 2"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-a", "invalid number at line 1 column 2"},
      {"-Infinity", "invalid number at line 1 column 2"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1.5e400]", "number out of range at line 1 column 9"},
      {"1" + repeat("0", 309), "number out of range at line 1 column 310"},
      // Strings.
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string("\"\0\"", 3),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      // Unicode escapes: a trailing surrogate on its own is no code point; a leading one must be
      // followed by a trailing one at once.
      {"\"\\uDC00\"", "invalid unicode code point at line 1 column 7"},
      {"\"\\uD800\"", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "lone leading surrogate in hex escape at line 1 column 9"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
      // Raw bytes must be well-formed UTF-8.
      {"\"\xff\"", "invalid UTF-8 while parsing a string at line 1 column 2"},
      {"\"\xc3(\"", "invalid UTF-8 while parsing a string at line 1 column 3"},
      {"\"\xc0\x80\"", "invalid UTF-8 while parsing a string at line 1 column 2"},
      {"\"\xed\xa0\x80\"", "invalid UTF-8 while parsing a string at line 1 column 3"},
      {"\"\xf4\x90\x80\x80\"", "invalid UTF-8 while parsing a string at line 1 column 3"},
      {"\"\xe2\x82", "EOF while parsing a string at line 1 column 3"},
      {"\xc3\xa9", "expected value at line 1 column 1"},
      // Lines and columns: columns count bytes, not characters, and restart after each newline.
      {"\"\xc3\xa9\" x", "trailing characters at line 1 column 6"},
      {"\n\n  x", "expected value at line 3 column 3"},
      {"[\n1,\n2 x]", "expected `,` or `]` at line 3 column 3"},
      {"{\"a\":\n", "EOF while parsing a value at line 2 column 0"},
      {"\"a\nb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse_failure(text), expected) << "input: " << text;
  }
}

TEST(JsonParseTest, NestingIsLimitedTo128Levels) {
  const std::string arrays128 = repeat("[", 128) + repeat("]", 128);
  const std::string objects128 = repeat("{\"a\":", 127) + "{}" + repeat("}", 127);
  const std::string mixed128 = repeat("[{\"k\":", 64) + "null" + repeat("}]", 64);
  for (const auto& text : {arrays128, objects128, mixed128}) {
    auto parsed = parse_json(text);
    ASSERT_TRUE(parsed.has_value()) << parse_failure(text);
    EXPECT_EQ(write_json(*parsed), text);
  }

  EXPECT_EQ(parse_failure(repeat("[", 129) + repeat("]", 129)),
            "recursion limit exceeded at line 1 column 129");
  // The 129th "{" follows 128 prefixes `{"a":` of five bytes each.
  EXPECT_EQ(parse_failure(repeat("{\"a\":", 128) + "{}" + repeat("}", 128)),
            "recursion limit exceeded at line 1 column 641");
}

TEST(JsonParseTest, VeryDeepInputFailsWithoutExhaustingTheStack) {
  EXPECT_EQ(parse_failure(repeat("[", 100000) + repeat("]", 100000)),
            "recursion limit exceeded at line 1 column 129");
  EXPECT_EQ(parse_failure(repeat("{\"\":", 100000)),
            "recursion limit exceeded at line 1 column 513");
}

TEST(JsonParseTest, IntegersTakeTheKindOfTheirSignAndFloatsTheRest) {
  const std::pair<const char*, Json::value_t> cases[] = {
      {"0", Json::value_t::number_unsigned},
      {"-0", Json::value_t::number_unsigned},
      {"18446744073709551615", Json::value_t::number_unsigned},
      {"18446744073709551616", Json::value_t::number_float},
      {"-1", Json::value_t::number_integer},
      {"-9223372036854775808", Json::value_t::number_integer},
      {"-9223372036854775809", Json::value_t::number_float},
      {"1.0", Json::value_t::number_float},
      {"1e2", Json::value_t::number_float},
      {"-0.0", Json::value_t::number_float},
  };
  for (const auto& [text, kind] : cases) {
    EXPECT_EQ(parse_ok(text).type(), kind) << text;
  }
  EXPECT_EQ(parse_ok("18446744073709551615").get<std::uint64_t>(),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parse_ok("-9223372036854775808").get<std::int64_t>(),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parse_ok("-0").get<std::uint64_t>(), 0u);
  // Either side of the longest integers read without the parser, and plain strings.
  EXPECT_EQ(parse_ok("999999999999999999").get<std::uint64_t>(), 999999999999999999u);
  EXPECT_EQ(parse_ok("-999999999999999999").get<std::int64_t>(), -999999999999999999);
  EXPECT_EQ(parse_ok("1000000000000000000").get<std::uint64_t>(), 1000000000000000000u);
  EXPECT_EQ(parse_ok("\"jazz 7\"").get<std::string>(), "jazz 7");
  EXPECT_EQ(parse_ok("\"a\\\"b\"").get<std::string>(), "a\"b");
  EXPECT_EQ(parse_ok("\"\"").get<std::string>(), "");
  EXPECT_EQ(parse_failure("\"a\"b\""), "trailing characters at line 1 column 4");
  EXPECT_TRUE(std::signbit(parse_ok("-0.0").get<double>()));
  // Underflow rounds to zero, keeping the sign; the smallest subnormal survives.
  EXPECT_EQ(std::bit_cast<std::uint64_t>(parse_ok("1e-400").get<double>()), 0u);
  EXPECT_TRUE(std::signbit(parse_ok("-1e-400").get<double>()));
  EXPECT_EQ(parse_ok("0.0000000000000000000000000000001e-300").get<double>(), 0.0);
  EXPECT_EQ(parse_ok("4.9e-324").get<double>(), std::numeric_limits<double>::denorm_min());
  // Correct rounding of a long significand, and zeros with huge exponents.
  EXPECT_EQ(parse_ok("0.1000000000000000055511151231257827021181583404541015625").get<double>(),
            0.1);
  EXPECT_EQ(parse_ok("0e99999").get<double>(), 0.0);
  EXPECT_EQ(parse_ok("1.7976931348623157e308").get<double>(), std::numeric_limits<double>::max());
}

// Text -> value -> text gives the canonical compact form.
TEST(JsonRoundTripTest, CorpusComesBackCanonical) {
  const std::pair<std::string, std::string> cases[] = {
      {" { \"b\" : 1 ,\n\t\"a\" : [ true , false , null ] , \"c\" : { \"z\" : \"x\" , \"y\" : -1 } "
       "} ",
       "{\"a\":[true,false,null],\"b\":1,\"c\":{\"y\":-1,\"z\":\"x\"}}"},
      {"[]", "[]"},
      {"{}", "{}"},
      {"[[[]],[{}],{\"a\":[{\"b\":[]}]}]", "[[[]],[{}],{\"a\":[{\"b\":[]}]}]"},
      {"{\"\":{\"\":\"\"}}", "{\"\":{\"\":\"\"}}"},
      // The last of repeated keys wins.
      {"{\"a\":1,\"b\":0,\"a\":2}", "{\"a\":2,\"b\":0}"},
      // Escapes: "/" needs none, control characters other than the short five as \u00xx.
      {R"("\"\\\/\b\f\n\r\t")", R"("\"\\/\b\f\n\r\t")"},
      {R"("\u0000\u0001\u001F\u007f")", std::string("\"\\u0000\\u0001\\u001f\x7f\"")},
      {R"("\u00e9\u4E2D\ud83d\ude00")", "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\""},
      {"\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\"", "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\""},
      {R"("\uDBFF\uDFFF")", "\"\xf4\x8f\xbf\xbf\""},
      // Integers at the kind boundaries.
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e19"},
      {"9223372036854775808", "9223372036854775808"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9.223372036854776e18"},
      {"-0", "0"},
      {"[-0.0,0e0,0E-0]", "[-0.0,0.0,0.0]"},
      // Floats: shortest digits, 17 where needed, tiny and huge exponents.
      {"0.30000000000000004", "0.30000000000000004"},
      {"0.1", "0.1"},
      {"1.7976931348623157e308", "1.7976931348623157e308"},
      {"2.2250738585072014E-308", "2.2250738585072014e-308"},
      {"5e-324", "5e-324"},
      {"1e-400", "0.0"},
      {"123456789012345678901234567890", "1.2345678901234568e29"},
      {"1E2", "100.0"},
      {"1.5e+3", "1500.0"},
      {"-12.5e-1", "-1.25"},
      {"9007199254740993.0", "9007199254740992.0"},
  };
  for (const auto& [text, canonical] : cases) {
    const Json value = parse_ok(text);
    EXPECT_EQ(write_json(value), canonical) << "input: " << text;
    // The canonical text is a fixed point.
    EXPECT_EQ(write_json(parse_ok(canonical)), canonical);
    EXPECT_TRUE(json_equal(parse_ok(canonical), value)) << canonical;
  }
}

// Keys are ordered by unsigned bytes: a signed-char comparison would put "é" (0xC3 0xA9) first.
TEST(JsonRoundTripTest, KeysAreSortedBytewise) {
  const Json value = parse_ok("{\"\xc3\xa9\":1,\"z\":2,\"a\":3,\"Z\":4,\"\":5,\"a\\u0000\":6}");
  EXPECT_EQ(write_json(value),
            std::string("{\"\":5,\"Z\":4,\"a\":3,\"a\\u0000\":6,\"z\":2,\"\xc3\xa9\":1}"));
}

TEST(JsonWriteTest, FloatNotation) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},
      {100.0, "100.0"},
      {12.34, "12.34"},
      {0.5, "0.5"},
      {0.001234, "0.001234"},
      {1e20, "1e20"},
      {1.5e-7, "1.5e-7"},
      {-2.5e16, "-2.5e16"},
      {1e16, "1e16"},
      {1e15, "1000000000000000.0"},
      {1234567890123456.7, "1234567890123456.8"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {-0.000012345, "-0.000012345"},
      {123456789012345680000.0, "1.2345678901234568e20"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& [number, text] : cases) {
    EXPECT_EQ(write_json(Json(number)), text) << number;
  }
}

// Every finite double survives writing and reading back, bit for bit.
TEST(JsonWriteTest, FloatsReadBackExactly) {
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 200000; ++i) {
    const double number = std::bit_cast<double>(random());
    if (!std::isfinite(number)) continue;
    const std::string text = write_json(Json(number));
    auto parsed = parse_json(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    ASSERT_TRUE(parsed->is_number_float()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(parsed->get<double>()),
              std::bit_cast<std::uint64_t>(number))
        << text;
  }
}

// Random strings mix the characters the writer must escape with multi-byte UTF-8.
std::string random_text(std::mt19937_64& random) {
  static constexpr std::string_view kBytes("aZ \"\\/\x01\x1f\x0a\t\x7f\0", 12);
  static constexpr std::string_view kSequences[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
  std::string text;
  for (std::size_t length = random() % 6; length > 0; --length) {
    const std::size_t pick = random() % (kBytes.size() + std::size(kSequences));
    if (pick < kBytes.size()) {
      text += kBytes[pick];
    } else {
      text += kSequences[pick - kBytes.size()];
    }
  }
  return text;
}

Json random_value(std::mt19937_64& random, int depth) {
  switch (random() % (depth == 0 ? 6 : 8)) {
    case 0:
      return Json(nullptr);
    case 1:
      return Json(random() % 2 == 0);
    case 2:
      return Json(static_cast<std::uint64_t>(random() >> (random() % 64)));
    case 3:
      return Json(static_cast<std::int64_t>(random() | (std::uint64_t{1} << 63)));
    case 4: {
      double number;
      do {
        number = std::bit_cast<double>(random());
      } while (!std::isfinite(number));
      return Json(number);
    }
    case 5:
      return Json(random_text(random));
    case 6: {
      Json array = Json::array();
      for (std::size_t n = random() % 4; n > 0; --n)
        array.push_back(random_value(random, depth - 1));
      return array;
    }
    default: {
      Json object = Json::object();
      for (std::size_t n = random() % 4; n > 0; --n) {
        object[random_text(random)] = random_value(random, depth - 1);
      }
      return object;
    }
  }
}

TEST(JsonRoundTripTest, RandomValuesSurviveWritingAndReading) {
  std::mt19937_64 random(42);
  for (int i = 0; i < 3000; ++i) {
    const Json value = random_value(random, 4);
    const std::string text = write_json(value);
    auto parsed = parse_json(text);
    ASSERT_TRUE(parsed.has_value()) << text << ": " << parse_failure(text);
    ASSERT_TRUE(json_equal(*parsed, value)) << text;
    ASSERT_EQ(write_json(*parsed), text);
  }
}

TEST(JsonWriteTest, BuiltValuesTakeTheModelsNumberKinds) {
  EXPECT_TRUE(Json(5).is_number_unsigned());
  EXPECT_TRUE(Json(std::int64_t{0}).is_number_unsigned());
  EXPECT_TRUE(Json(-5).is_number_integer());
  EXPECT_TRUE(Json(5u).is_number_unsigned());
  const Json object = {{"n", 1}, {"list", {1, -2, 3.5}}};
  EXPECT_TRUE(json_equal(object, parse_ok("{\"n\":1,\"list\":[1,-2,3.5]}")));
  EXPECT_EQ(write_json(object), "{\"list\":[1,-2,3.5],\"n\":1}");
}

TEST(JsonEqualTest, KindsAndStructureMustMatch) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"1", "1", true},
      {"1", "1.0", false},
      {"-1", "-1.0", false},
      {"1.0", "1.00", true},
      {"0.0", "-0.0", true},
      {"1", "\"1\"", false},
      {"null", "false", false},
      {"null", "null", true},
      {"true", "true", true},
      {"true", "false", false},
      {"\"a\"", "\"a\"", true},
      {"\"a\"", "\"A\"", false},
      {"[1,2]", "[1,2]", true},
      {"[1,2]", "[2,1]", false},
      {"[1,2]", "[1,2,3]", false},
      {"[]", "{}", false},
      {"{\"a\":1,\"b\":2}", "{\"b\":2,\"a\":1}", true},
      {"{\"a\":1}", "{\"a\":1,\"b\":2}", false},
      {"{\"a\":1}", "{\"b\":1}", false},
      {"{\"a\":[1]}", "{\"a\":[1.0]}", false},
      {"18446744073709551615", "18446744073709551616", false},
  };
  for (const auto& [a, b, equal] : cases) {
    EXPECT_EQ(json_equal(parse_ok(a), parse_ok(b)), equal) << a << " vs " << b;
    EXPECT_EQ(json_equal(parse_ok(b), parse_ok(a)), equal) << b << " vs " << a;
  }
  const Json nan(std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(json_equal(nan, nan));
  // The signed kind with a non-negative value only arises when forced; it is still its own kind.
  Json forced_signed(Json::value_t::number_integer);
  forced_signed.get_ref<std::int64_t&>() = 5;
  EXPECT_FALSE(json_equal(forced_signed, Json(5)));
}

}  // namespace
}  // namespace vexradb
