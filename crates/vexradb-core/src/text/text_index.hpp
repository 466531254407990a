#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "metadata/json.hpp"
#include "text/tokenizer.hpp"

namespace vexradb {

// What a keyword index covers and how it ranks.
struct TextIndexOptions {
  // Metadata paths ("title", "details.body": member names joined by ".") whose strings are
  // indexed. A value that is not a string (absent, a number, an array ...) is indexed as if the
  // document lacked the field.
  std::vector<std::string> fields;
  std::optional<std::string> language;  // a Snowball stemmer's name, or no stemming
  double k1 = 1.2;
  double b = 0.75;
};

// The most fields one index covers.
inline constexpr std::size_t kMaxTextFields = 64;

// InvalidParameter unless the options describe an index: 1 to kMaxTextFields distinct, non-empty
// fields, k1 finite and not negative, b between 0 and 1, and a language libstemmer knows.
Result<Tokenizer> check_text_options(const TextIndexOptions& options);

// One document a keyword search found.
struct TextMatch {
  InternalId id;
  double score;
};

// A BM25 index over chosen string fields of the documents of a store, by internal id.
//
// A document is indexed when at least one of its fields holds a string. Statistics count the
// current documents alone: N (current indexed documents), each term's document frequency n
// (current documents holding it in any field) and, per field, the total length. A document's
// score for a query is the sum over the distinct query terms it holds, in the order the query
// first names them, of
//   idf * w * (k1 + 1) / (w + k1),   w = sum over fields f of tf_f / (1 - b + b * len_f / avglen_f)
// where tf_f and len_f are the term's count and the token count in field f of the document,
// avglen_f is the total length of field f over N, and idf = ln((N - n + 0.5) / (n + 0.5)),
// raised to 1e-6 when not positive (as SQLite's FTS5 bm25() does for terms in more than half the
// documents). Each field's length is normalised by its own average (BM25F with unit weights);
// with one field this is plain BM25.
//
// Deleted and replaced versions keep their postings, skipped by searches, but leave the
// statistics at once: the index answers exactly what one built from the current documents
// alone would. Not synchronised: see the threading rule in engine.hpp.
class TextIndex {
 public:
  static Result<TextIndex> create(TextIndexOptions options);

  const TextIndexOptions& options() const noexcept { return options_; }
  // Documents recorded: the next id to add.
  InternalId next_id() const noexcept { return static_cast<InternalId>(states_.size()); }
  // Current indexed documents (N above).
  std::size_t document_count() const noexcept { return current_; }

  // Records the document of `id`, the next id, as current; `metadata` may be null. Either it is
  // recorded whole or it throws having changed nothing.
  void add(InternalId id, const Json* metadata);
  // The document of `id` stops (or starts again) being current: its counts leave (rejoin) the
  // statistics. Nothing happens to an id that already is (is not) current.
  void retire(InternalId id) noexcept;
  void revive(InternalId id) noexcept;
  // Forgets the documents from `first` on: the undo of additions.
  void remove_from(InternalId first) noexcept;

  // The distinct terms of a query, in the order of their first appearance.
  std::vector<std::string> query_terms(std::string_view text) const;
  // The `k` best current documents holding any of `terms` that `admit` accepts, best first;
  // equal scores by ascending id. `admit` is asked only of documents good enough to be kept.
  std::vector<TextMatch> search(std::span<const std::string> terms, std::uint64_t k,
                                const std::function<bool(InternalId)>& admit) const;

  // Gives back the room that growing left unused: after building from many documents at once.
  void shrink_to_fit();
  // Bytes held by the index's own structures.
  std::size_t memory_usage() const noexcept;

 private:
  enum class State : std::uint8_t { Unindexed, Current, Retired };
  // One field of one document holding a term `count` times.
  struct Posting {
    InternalId id;
    std::uint32_t field;
    std::uint32_t count;
  };
  struct Term {
    std::vector<Posting> postings;  // ascending (id, field)
    std::uint32_t current_documents = 0;
  };
  // One (term, field, count) of a document being added.
  struct Occurrence {
    std::string term;
    std::uint32_t field;
    std::uint32_t count;
  };

  TextIndex(TextIndexOptions options, Tokenizer tokenizer)
      : options_(std::move(options)),
        tokenizer_(std::move(tokenizer)),
        total_lengths_(options_.fields.size(), 0) {}

  // The terms of each field of `metadata`, counted, ordered by term then field; fills `lengths`.
  std::vector<Occurrence> occurrences(const Json& metadata, std::span<std::uint32_t> lengths) const;
  std::uint32_t term_id(const std::string& term);
  // Adds or subtracts the document's counts to the statistics.
  void count(InternalId id, bool add) noexcept;
  std::span<const std::uint32_t> terms_of(InternalId id) const noexcept;
  std::span<const std::uint32_t> lengths_of(InternalId id) const noexcept;

  TextIndexOptions options_;
  Tokenizer tokenizer_;
  std::unordered_map<std::string, std::uint32_t> term_ids_;
  std::vector<Term> terms_;
  // By internal id: its state, where its distinct term ids end in document_terms_, and its
  // length in each field (fields.size() per id).
  std::vector<State> states_;
  std::vector<std::uint64_t> terms_end_;
  std::vector<std::uint32_t> document_terms_;
  std::vector<std::uint32_t> lengths_;
  std::size_t current_ = 0;
  std::vector<std::uint64_t> total_lengths_;  // by field, over current documents
};

}  // namespace vexradb
