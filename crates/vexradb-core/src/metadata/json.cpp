#include "metadata/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "base/internal_failure.hpp"

namespace vexradb {
namespace {

// The parser is written here rather than taken from the library: callers see its failure texts
// ("<message> at line <L> column <C>" with our messages and positions), and it must build the
// number kinds, refuse deep nesting before it can exhaust the stack and reject invalid UTF-8,
// none of which the library's parser does in the required way.

// Where parsing stopped: what went wrong and how many bytes had been consumed.
struct ParseFailure {
  const char* message;
  std::size_t consumed;
};

template <class T>
using Parsed = tl::expected<T, ParseFailure>;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

class Parser {
 public:
  Parser(std::string_view text, std::size_t max_depth) : text_(text), max_depth_(max_depth) {}

  Parsed<Json> parse_document() {
    auto value = parse_value();
    if (!value) return value;
    skip_whitespace();
    if (!at_end()) return fail_on_byte("trailing characters");
    return value;
  }

 private:
  bool at_end() const { return pos_ == text_.size(); }
  char peek() const { return text_[pos_]; }
  unsigned char peek_byte() const { return static_cast<unsigned char>(text_[pos_]); }

  void skip_whitespace() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
      ++pos_;
    }
  }

  // A fault found on the byte under the cursor: that byte counts as consumed.
  tl::unexpected<ParseFailure> fail_on_byte(const char* message) const {
    return tl::unexpected(ParseFailure{message, pos_ + 1});
  }
  // A fault found after the bytes consumed so far (the end of the input, or a complete token).
  tl::unexpected<ParseFailure> fail_here(const char* message) const {
    return tl::unexpected(ParseFailure{message, pos_});
  }

  Parsed<Json> parse_value() {
    skip_whitespace();
    if (at_end()) return fail_here("EOF while parsing a value");
    switch (peek()) {
      case 'n':
        return parse_literal("null", Json(nullptr));
      case 't':
        return parse_literal("true", Json(true));
      case 'f':
        return parse_literal("false", Json(false));
      case '"': {
        ++pos_;
        auto text = parse_string_body();
        if (!text) return tl::unexpected(text.error());
        return Json(std::move(*text));
      }
      case '[':
        return parse_array();
      case '{':
        return parse_object();
      default:
        if (peek() == '-' || is_digit(peek())) return parse_number();
        return fail_on_byte("expected value");
    }
  }

  Parsed<Json> parse_literal(std::string_view word, Json value) {
    for (char expected : word) {
      if (at_end()) return fail_here("EOF while parsing a value");
      if (peek() != expected) return fail_on_byte("expected ident");
      ++pos_;
    }
    return value;
  }

  // Called with the cursor on '[' or '{'.
  Parsed<void> enter_container() {
    if (depth_ == max_depth_) return fail_on_byte("recursion limit exceeded");
    ++depth_;
    ++pos_;
    return {};
  }

  Parsed<Json> parse_array() {
    if (auto entered = enter_container(); !entered) return tl::unexpected(entered.error());
    Json result = Json::array();
    auto& elements = result.get_ref<Json::array_t&>();
    skip_whitespace();
    if (at_end()) return fail_here("EOF while parsing a list");
    if (peek() == ']') {
      ++pos_;
      --depth_;
      return result;
    }
    while (true) {
      auto element = parse_value();
      if (!element) return element;
      elements.push_back(std::move(*element));
      skip_whitespace();
      if (at_end()) return fail_here("EOF while parsing a list");
      if (peek() == ']') break;
      if (peek() != ',') return fail_on_byte("expected `,` or `]`");
      ++pos_;
    }
    ++pos_;
    --depth_;
    return result;
  }

  Parsed<Json> parse_object() {
    if (auto entered = enter_container(); !entered) return tl::unexpected(entered.error());
    Json result = Json::object();
    auto& members = result.get_ref<Json::object_t&>();
    skip_whitespace();
    if (at_end()) return fail_here("EOF while parsing an object");
    if (peek() == '}') {
      ++pos_;
      --depth_;
      return result;
    }
    while (true) {
      skip_whitespace();
      if (at_end()) return fail_here("EOF while parsing an object");
      if (peek() != '"') return fail_on_byte("key must be a string");
      ++pos_;
      auto key = parse_string_body();
      if (!key) return tl::unexpected(key.error());
      skip_whitespace();
      if (at_end()) return fail_here("EOF while parsing an object");
      if (peek() != ':') return fail_on_byte("expected `:`");
      ++pos_;
      auto value = parse_value();
      if (!value) return value;
      // A repeated key replaces the earlier member, as in most parsers.
      members.insert_or_assign(std::move(*key), std::move(*value));
      skip_whitespace();
      if (at_end()) return fail_here("EOF while parsing an object");
      if (peek() == '}') break;
      if (peek() != ',') return fail_on_byte("expected `,` or `}`");
      ++pos_;
    }
    ++pos_;
    --depth_;
    return result;
  }

  // Called after the opening quote; consumes the closing one.
  Parsed<std::string> parse_string_body() {
    std::string out;
    while (true) {
      const std::size_t run_start = pos_;
      while (!at_end() && peek_byte() >= 0x20 && peek_byte() < 0x80 && peek() != '"' &&
             peek() != '\\') {
        ++pos_;
      }
      out.append(text_, run_start, pos_ - run_start);
      if (at_end()) return fail_here("EOF while parsing a string");
      const unsigned char byte = peek_byte();
      if (byte == '"') {
        ++pos_;
        return out;
      }
      if (byte < 0x20) {
        return fail_on_byte("control character (\\u0000-\\u001F) found while parsing a string");
      }
      auto step = byte == '\\' ? parse_escape(out) : copy_utf8_sequence(out);
      if (!step) return tl::unexpected(step.error());
    }
  }

  // Called with the cursor on a byte of 0x80 or above. Accepts exactly the well-formed UTF-8
  // sequences (no overlong forms, no encoded surrogates, nothing above U+10FFFF), so every string
  // value is valid UTF-8 and the writer's output always decodes again.
  Parsed<void> copy_utf8_sequence(std::string& out) {
    const std::size_t start = pos_;
    const unsigned char lead = peek_byte();
    int continuation_bytes = 0;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuation_bytes = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuation_bytes = 2;
      if (lead == 0xE0) second_min = 0xA0;  // overlong below U+0800
      if (lead == 0xED) second_max = 0x9F;  // U+D800..U+DFFF are surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuation_bytes = 3;
      if (lead == 0xF0) second_min = 0x90;  // overlong below U+10000
      if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
    } else {
      return fail_on_byte("invalid UTF-8 while parsing a string");
    }
    ++pos_;
    for (int i = 0; i < continuation_bytes; ++i) {
      if (at_end()) return fail_here("EOF while parsing a string");
      const unsigned char min = i == 0 ? second_min : 0x80;
      const unsigned char max = i == 0 ? second_max : 0xBF;
      if (peek_byte() < min || peek_byte() > max) {
        return fail_on_byte("invalid UTF-8 while parsing a string");
      }
      ++pos_;
    }
    out.append(text_, start, pos_ - start);
    return {};
  }

  // Called with the cursor on the backslash.
  Parsed<void> parse_escape(std::string& out) {
    ++pos_;
    if (at_end()) return fail_here("EOF while parsing a string");
    if (peek() == 'u') {
      ++pos_;
      return parse_unicode_escape(out);
    }
    const char decoded = unescape(peek());
    if (decoded == 0) return fail_on_byte("invalid escape");
    ++pos_;
    out += decoded;
    return {};
  }

  // The character a one-letter escape stands for, or 0 for a letter that is no escape.
  static char unescape(char letter) {
    switch (letter) {
      case '"':
      case '\\':
      case '/':
        return letter;
      case 'b':
        return '\b';
      case 'f':
        return '\f';
      case 'n':
        return '\n';
      case 'r':
        return '\r';
      case 't':
        return '\t';
      default:
        return 0;
    }
  }

  // Called after "\u". A UTF-16 surrogate pair spans two escapes.
  Parsed<void> parse_unicode_escape(std::string& out) {
    auto unit = parse_hex4();
    if (!unit) return tl::unexpected(unit.error());
    char32_t code_point = *unit;
    if (code_point >= 0xDC00 && code_point <= 0xDFFF)
      return fail_here("invalid unicode code point");
    if (code_point >= 0xD800 && code_point <= 0xDBFF) {
      for (char expected : {'\\', 'u'}) {
        if (at_end()) return fail_here("EOF while parsing a string");
        if (peek() != expected) return fail_on_byte("lone leading surrogate in hex escape");
        ++pos_;
      }
      auto low = parse_hex4();
      if (!low) return tl::unexpected(low.error());
      if (*low < 0xDC00 || *low > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (*low - 0xDC00);
    }
    append_utf8(out, code_point);
    return {};
  }

  Parsed<char32_t> parse_hex4() {
    char32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      if (at_end()) return fail_here("EOF while parsing a string");
      const char c = peek();
      int digit;
      if (is_digit(c)) {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return fail_on_byte("invalid escape");
      }
      value = value * 16 + static_cast<char32_t>(digit);
      ++pos_;
    }
    return value;
  }

  static void append_utf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
      out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
      out += static_cast<char>(0xC0 | (code_point >> 6));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
      out += static_cast<char>(0xE0 | (code_point >> 12));
      out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code_point >> 18));
      out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
  }

  // Consumes a run of one or more digits.
  Parsed<void> parse_digits() {
    if (at_end()) return fail_here("EOF while parsing a value");
    if (!is_digit(peek())) return fail_on_byte("invalid number");
    while (!at_end() && is_digit(peek())) ++pos_;
    return {};
  }

  // Called with the cursor on '-' or a digit.
  Parsed<Json> parse_number() {
    const std::size_t start = pos_;
    const bool negative = peek() == '-';
    if (negative) ++pos_;
    if (!at_end() && peek() == '0') {
      ++pos_;
      if (!at_end() && is_digit(peek())) return fail_on_byte("invalid number");
    } else if (auto digits = parse_digits(); !digits) {
      return tl::unexpected(digits.error());
    }
    const std::size_t integer_end = pos_;
    bool integral = true;
    if (!at_end() && peek() == '.') {
      integral = false;
      ++pos_;
      if (auto digits = parse_digits(); !digits) return tl::unexpected(digits.error());
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (auto digits = parse_digits(); !digits) return tl::unexpected(digits.error());
    }
    const std::string_view number = text_.substr(start, pos_ - start);
    if (integral) {
      const std::string_view magnitude =
          text_.substr(start + negative, integer_end - start - negative);
      if (auto exact = integer_value(negative, magnitude)) return std::move(*exact);
    }
    return float_value(number);
  }

  // The integer kinds, or nothing when the value fits neither (it then becomes a float).
  static std::optional<Json> integer_value(bool negative, std::string_view magnitude_digits) {
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(
        magnitude_digits.data(), magnitude_digits.data() + magnitude_digits.size(), magnitude);
    if (error != std::errc()) return std::nullopt;
    VEXRA_CHECK(end == magnitude_digits.data() + magnitude_digits.size(),
                "integer digits not fully converted");
    // "-0" is the integer 0: integers have no negative zero, and non-negative integers are
    // unsigned.
    if (!negative || magnitude == 0) return Json(magnitude);
    constexpr std::uint64_t kMostNegativeMagnitude = std::uint64_t{1} << 63;
    if (magnitude > kMostNegativeMagnitude) return std::nullopt;
    return Json(static_cast<std::int64_t>(0 - magnitude));
  }

  Parsed<Json> float_value(std::string_view number) const {
    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    VEXRA_CHECK(end == number.data() + number.size(), "number text not fully converted");
    if (error == std::errc::result_out_of_range) {
      // The conversion reports both overflow and underflow this way and leaves `value` alone.
      if (exceeds_one(number)) return fail_here("number out of range");
      value = number.front() == '-' ? -0.0 : 0.0;
    } else {
      VEXRA_CHECK(error == std::errc(), "number text rejected by the float conversion");
    }
    return Json(value);
  }

  // Whether a non-zero number in JSON syntax has magnitude 1 or more, judged from its decimal
  // exponent alone. Only used on numbers beyond the double range, where that tells overflow
  // (about 10^308) from underflow (about 10^-324).
  static bool exceeds_one(std::string_view number) {
    std::int64_t digits_before_point = 0;  // of the significand, from its first non-zero digit
    std::int64_t zeros_after_point = 0;    // before the first non-zero digit, when that is < 1
    bool seen_nonzero = false;
    bool after_point = false;
    std::size_t i = number.front() == '-' ? 1 : 0;
    for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
      const char c = number[i];
      if (c == '.') {
        after_point = true;
      } else if (!after_point) {
        seen_nonzero = seen_nonzero || c != '0';
        if (seen_nonzero) ++digits_before_point;
      } else if (!seen_nonzero) {
        if (c != '0') {
          seen_nonzero = true;
        } else {
          ++zeros_after_point;
        }
      }
    }
    std::int64_t exponent = 0;
    if (i < number.size()) {
      ++i;
      const bool negative_exponent = number[i] == '-';
      if (number[i] == '+' || number[i] == '-') ++i;
      constexpr std::int64_t kSaturation = std::int64_t{1} << 40;
      for (; i < number.size(); ++i) {
        exponent = std::min(exponent * 10 + (number[i] - '0'), kSaturation);
      }
      if (negative_exponent) exponent = -exponent;
    }
    const std::int64_t magnitude =
        digits_before_point > 0 ? digits_before_point : -zeros_after_point;
    return magnitude + exponent > 0;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t max_depth_;
  std::size_t depth_ = 0;
};

std::string describe(const ParseFailure& failure, std::string_view text) {
  const std::string_view consumed = text.substr(0, failure.consumed);
  const std::size_t line = 1 + std::count(consumed.begin(), consumed.end(), '\n');
  const std::size_t last_newline = consumed.rfind('\n');
  const std::size_t column =
      last_newline == std::string_view::npos ? consumed.size() : consumed.size() - last_newline - 1;
  return std::string(failure.message) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

void write_string(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[static_cast<unsigned char>(c) >> 4];
          out += kHex[static_cast<unsigned char>(c) & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

template <class Integer>
void write_integer(Integer number, std::string& out) {
  char buffer[24];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
  VEXRA_CHECK(error == std::errc(), "integer does not fit its text buffer");
  out.append(buffer, end);
}

// The shortest decimal that reads back as a finite double: its significant digits and the
// exponent kk for which the value lies in [10^(kk-1), 10^kk).
struct ShortestDecimal {
  bool negative = false;
  int kk = 0;
  std::size_t count = 0;
  char storage[32];

  std::string_view digits() const { return std::string_view(storage, count); }
};

ShortestDecimal shortest_decimal(double number) {
  // The scientific form of the shortest round trip: "-d.ddde+XX".
  char text[32];
  const auto [end, error] =
      std::to_chars(text, text + sizeof text, number, std::chars_format::scientific);
  VEXRA_CHECK(error == std::errc(), "float does not fit its text buffer");
  const std::string_view scientific(text, static_cast<std::size_t>(end - text));
  const std::size_t e = scientific.find('e');
  VEXRA_CHECK(e != std::string_view::npos, "scientific float text without exponent");

  ShortestDecimal decimal;
  decimal.negative = scientific[0] == '-';
  for (std::size_t i = decimal.negative ? 1 : 0; i < e; ++i) {
    if (scientific[i] != '.') decimal.storage[decimal.count++] = scientific[i];
  }

  int exponent = 0;
  const char* exponent_begin = scientific.data() + e + 1;
  if (*exponent_begin == '+') ++exponent_begin;
  const auto exponent_read = std::from_chars(exponent_begin, end, exponent);
  VEXRA_CHECK(exponent_read.ec == std::errc(), "scientific float text with a bad exponent");
  decimal.kk = exponent + 1;
  return decimal;
}

// Integers up to 16 digits as "123.0", other values of up to 16 integer digits as plain
// decimals, small values down to 10^-5 as "0.000123", everything else in scientific notation
// without "+" or padding ("1e16", "1.5e-7"). Non-finite values have no JSON form: null.
void write_float(double number, std::string& out) {
  if (!std::isfinite(number)) {
    out += "null";
    return;
  }
  const ShortestDecimal decimal = shortest_decimal(number);
  const std::string_view digits = decimal.digits();
  const int count = static_cast<int>(digits.size());
  const int kk = decimal.kk;
  if (decimal.negative) out += '-';
  if (count <= kk && kk <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(kk - count), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    out += digits.substr(0, static_cast<std::size_t>(kk));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(kk));
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    write_integer(kk - 1, out);
  }
}

void write_value(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::number_unsigned:
      write_integer(value.get<std::uint64_t>(), out);
      return;
    case Json::value_t::number_integer:
      write_integer(value.get<std::int64_t>(), out);
      return;
    case Json::value_t::number_float:
      write_float(value.get<double>(), out);
      return;
    case Json::value_t::string:
      write_string(value.get_ref<const std::string&>(), out);
      return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& element : value.get_ref<const Json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        write_value(element, out);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        write_string(key, out);
        out += ':';
        write_value(member, out);
      }
      out += '}';
      return;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  VEXRA_CHECK(false, "JSON value of a type outside the value model");
}

}  // namespace

namespace {

// An integer of at most 18 digits (it fits either kind) or an ASCII string without escapes, as
// the parser would build it; nothing for any other text, which the parser then reads. These are
// what filters send, one text per operand, and skipping the parser's set-up makes an In of many
// values cheap to convert.
std::optional<Json> plain_scalar(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    const std::string_view body = text.substr(1, text.size() - 2);
    const bool plain = std::all_of(body.begin(), body.end(), [](char c) {
      return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
    });
    if (!plain) return std::nullopt;
    return Json(std::string(body));
  }
  const bool negative = !text.empty() && text.front() == '-';
  const std::string_view digits = text.substr(negative ? 1 : 0);
  constexpr std::size_t kMaxPlainDigits = 18;
  if (digits.empty() || digits.size() > kMaxPlainDigits ||
      (digits.size() > 1 && digits.front() == '0') ||
      !std::all_of(digits.begin(), digits.end(), is_digit)) {
    return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  for (const char c : digits) magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
  // As the parser: "-0" is the unsigned 0, and only negative integers are signed.
  if (!negative || magnitude == 0) return Json(magnitude);
  return Json(-static_cast<std::int64_t>(magnitude));
}

}  // namespace

Result<Json> parse_json(std::string_view text, std::size_t max_depth) {
  if (std::optional<Json> plain = plain_scalar(text)) return std::move(*plain);
  auto parsed = Parser(text, max_depth).parse_document();
  if (!parsed) return fail(errors::Serialization{describe(parsed.error(), text)});
  return std::move(*parsed);
}

std::string write_json(const Json& value) {
  std::string out;
  write_value(value, out);
  return out;
}

bool json_equal(const Json& a, const Json& b) noexcept {
  // type() tells the three number kinds apart, so this one test makes equality kind-sensitive.
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Json::value_t::null:
      return true;
    case Json::value_t::boolean:
      return *a.get_ptr<const bool*>() == *b.get_ptr<const bool*>();
    case Json::value_t::number_unsigned:
      return *a.get_ptr<const std::uint64_t*>() == *b.get_ptr<const std::uint64_t*>();
    case Json::value_t::number_integer:
      return *a.get_ptr<const std::int64_t*>() == *b.get_ptr<const std::int64_t*>();
    case Json::value_t::number_float:
      return *a.get_ptr<const double*>() == *b.get_ptr<const double*>();
    case Json::value_t::string:
      return *a.get_ptr<const std::string*>() == *b.get_ptr<const std::string*>();
    case Json::value_t::array: {
      const auto& left = *a.get_ptr<const Json::array_t*>();
      const auto& right = *b.get_ptr<const Json::array_t*>();
      return std::equal(left.begin(), left.end(), right.begin(), right.end(), json_equal);
    }
    case Json::value_t::object: {
      const auto& left = *a.get_ptr<const Json::object_t*>();
      const auto& right = *b.get_ptr<const Json::object_t*>();
      // Both maps are in key order, so equal objects line up member by member.
      return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                        [](const auto& x, const auto& y) {
                          return x.first == y.first && json_equal(x.second, y.second);
                        });
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      return false;
  }
  return false;
}

std::optional<std::string> metadata_text(const std::optional<Json>& metadata) {
  if (!metadata) return std::nullopt;
  return write_json(*metadata);
}

}  // namespace vexradb
