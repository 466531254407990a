#include "text/tokenizer.hpp"

#include <libstemmer.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uscript.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "base/internal_failure.hpp"

namespace vexradb {
namespace {

// One Snowball stemmer: libstemmer's keep state between calls, so each tokenizing makes its own.
class Stemmer {
 public:
  explicit Stemmer(const std::string& language)
      : stemmer_(sb_stemmer_new(language.c_str(), "UTF_8")) {}
  ~Stemmer() {
    if (stemmer_ != nullptr) sb_stemmer_delete(stemmer_);
  }
  Stemmer(const Stemmer&) = delete;
  Stemmer& operator=(const Stemmer&) = delete;

  // Null for a language libstemmer does not know (or no memory to make the stemmer).
  bool valid() const noexcept { return stemmer_ != nullptr; }

  // libstemmer measures words in int: a longer one (no word of any language) is left as it is.
  void stem(std::string& term) const {
    if (term.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return;
    const sb_symbol* stemmed = sb_stemmer_stem(
        stemmer_, reinterpret_cast<const sb_symbol*>(term.data()), static_cast<int>(term.size()));
    if (stemmed == nullptr) throw std::bad_alloc();  // its only failure
    term.assign(reinterpret_cast<const char*>(stemmed),
                static_cast<std::size_t>(sb_stemmer_length(stemmer_)));
  }

 private:
  sb_stemmer* stemmer_;
};

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// ASCII text tokenized without ICU, as it would be with it: ICU never breaks a word inside a run
// of ASCII letters and digits, and every other ASCII character separates terms.
void tokenize_ascii(std::string_view text, std::vector<std::string>& terms) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (!is_ascii_alnum(text[i])) {
      ++i;
      continue;
    }
    std::string& term = terms.emplace_back();
    for (; i < text.size() && is_ascii_alnum(text[i]); ++i) {
      const char c = text[i];
      term.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
  }
}

// Scripts whose accents are combining marks on a letter that reads the same without them.
bool drops_accents(UScriptCode script) {
  return script == USCRIPT_LATIN || script == USCRIPT_GREEK || script == USCRIPT_CYRILLIC;
}

void append_utf8(std::string& out, UChar32 c) {
  char bytes[U8_MAX_LENGTH];
  std::int32_t length = 0;
  U8_APPEND_UNSAFE(bytes, length, c);
  out.append(bytes, static_cast<std::size_t>(length));
}

// The terms of one word found by the break iterator, already decomposed.
void split_word(const icu::UnicodeString& word, std::vector<std::string>& terms) {
  std::string term;
  UScriptCode base_script = USCRIPT_INVALID_CODE;
  const auto flush = [&] {
    if (!term.empty()) terms.push_back(std::move(term));
    term.clear();
  };
  for (std::int32_t i = 0; i < word.length();) {
    const UChar32 c = word.char32At(i);
    i += U16_LENGTH(c);
    const std::uint32_t category = U_MASK(u_charType(c));
    if ((category & U_GC_M_MASK) != 0) {
      if (term.empty()) continue;  // no letter to carry it
      if (category == U_MASK(U_NON_SPACING_MARK) && drops_accents(base_script)) continue;
      append_utf8(term, c);
    } else if ((category & (U_GC_L_MASK | U_GC_N_MASK)) != 0) {
      UErrorCode status = U_ZERO_ERROR;
      base_script = uscript_getScript(c, &status);
      append_utf8(term, u_foldCase(c, U_FOLD_CASE_DEFAULT));
    } else {
      flush();
    }
  }
  flush();
}

void tokenize_piece(std::string_view text, std::vector<std::string>& terms) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfkd = icu::Normalizer2::getNFKDInstance(status);
  std::unique_ptr<icu::BreakIterator> words(
      icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  VEXRA_CHECK(U_SUCCESS(status), "ICU's word breaking data is missing");
  const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  words->setText(unicode);
  std::int32_t start = words->first();
  for (std::int32_t end = words->next(); end != icu::BreakIterator::DONE;
       start = end, end = words->next()) {
    // Spaces, punctuation and symbols between words.
    if (words->getRuleStatus() < UBRK_WORD_NONE_LIMIT) continue;
    const icu::UnicodeString word =
        nfkd->normalize(unicode.tempSubStringBetween(start, end), status);
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    VEXRA_CHECK(U_SUCCESS(status), "ICU could not decompose a word");
    split_word(word, terms);
  }
}

// ICU measures text in int32_t: longer text is taken in pieces that end at a space (or, in text
// without one, at the start of a character), so that no piece's length wraps.
void tokenize_unicode(std::string_view text, std::vector<std::string>& terms) {
  constexpr std::size_t kMaxPiece = std::numeric_limits<std::int32_t>::max();
  while (text.size() > kMaxPiece) {
    std::size_t cut = text.rfind(' ', kMaxPiece);
    if (cut == std::string_view::npos || cut == 0) {
      cut = kMaxPiece;
      while (cut > 0 && U8_IS_TRAIL(text[cut])) --cut;
    }
    tokenize_piece(text.substr(0, cut), terms);
    text.remove_prefix(cut);
  }
  tokenize_piece(text, terms);
}

}  // namespace

Result<Tokenizer> Tokenizer::create(std::optional<std::string> language) {
  if (language && !Stemmer(*language).valid()) {
    return fail(errors::InvalidParameter{*language, "text language",
                                         "has no stemmer (libstemmer's language names)"});
  }
  return Tokenizer(std::move(language));
}

void Tokenizer::tokenize(std::string_view text, std::vector<std::string>& terms) const {
  const std::size_t first = terms.size();
  if (is_ascii(text)) {
    tokenize_ascii(text, terms);
  } else {
    tokenize_unicode(text, terms);
  }
  if (!language_ || terms.size() == first) return;
  const Stemmer stemmer(*language_);
  if (!stemmer.valid()) throw std::bad_alloc();  // the language was checked: out of memory
  for (std::size_t i = first; i < terms.size(); ++i) stemmer.stem(terms[i]);
}

}  // namespace vexradb
