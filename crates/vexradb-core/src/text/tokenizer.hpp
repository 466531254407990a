#pragma once

// text/: keyword search over chosen string fields of the metadata: the tokenizer and the BM25
// index the catalogue keeps beside the metadata index. May use: base/, metadata/.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace vexradb {

// Splits text into the terms the keyword index holds and queries look up.
//
// Words are found by ICU's word break iterator (so scripts written without spaces are segmented
// by its dictionaries), then cut again wherever a character is neither a letter, a number nor a
// combining mark, so that "don't", "3.14" and "x86_64" give "don" "t", "3" "14" and "x86" "64".
// Each word is decomposed (NFKD), combining marks that follow a Latin, Greek or Cyrillic letter
// are dropped ("café" gives "cafe"; marks that spell other scripts stay), and every character is
// case folded (simple folding, so "Straße" stays "straße"). On Latin text that is the tokenizing
// of SQLite's unicode61 tokenizer, so the two index the same terms. With a language, each term
// is then stemmed by Snowball's stemmer for it (libstemmer).
//
// Stateless apart from its language: any number of threads may tokenize with one tokenizer.
class Tokenizer {
 public:
  // InvalidParameter when libstemmer has no stemmer for `language`.
  static Result<Tokenizer> create(std::optional<std::string> language);

  // Appends the terms of `text` (UTF-8; invalid bytes separate words) to `terms`, in order.
  void tokenize(std::string_view text, std::vector<std::string>& terms) const;

  const std::optional<std::string>& language() const noexcept { return language_; }

 private:
  explicit Tokenizer(std::optional<std::string> language) : language_(std::move(language)) {}

  std::optional<std::string> language_;
};

}  // namespace vexradb
