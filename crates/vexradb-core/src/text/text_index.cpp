#include "text/text_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <unordered_set>

#include "base/internal_failure.hpp"
#include "base/reserve_more.hpp"
#include "metadata/filter.hpp"

namespace vexradb {
namespace {

// The floor of a term's inverse document frequency, as SQLite's FTS5 bm25() sets it: a term in
// more than half the documents would otherwise count against them.
constexpr double kMinIdf = 1e-6;

double inverse_document_frequency(std::size_t documents, std::uint32_t holding) {
  const double idf = std::log((static_cast<double>(documents) - holding + 0.5) / (holding + 0.5));
  return idf > 0.0 ? idf : kMinIdf;
}

// Keyword matches ordered best first: higher score, then lower id.
bool better_match(const TextMatch& a, const TextMatch& b) {
  if (a.score != b.score) return a.score > b.score;
  return a.id < b.id;
}

}  // namespace

Result<Tokenizer> check_text_options(const TextIndexOptions& options) {
  if (options.fields.empty() || options.fields.size() > kMaxTextFields) {
    return fail(errors::InvalidParameter{std::to_string(options.fields.size()), "text fields",
                                         "must name 1 to 64 fields"});
  }
  std::set<std::string_view> seen;
  for (const std::string& field : options.fields) {
    if (field.empty() || !seen.insert(field).second) {
      return fail(errors::InvalidParameter{field, "text field", "is empty or named twice"});
    }
  }
  if (!std::isfinite(options.k1) || options.k1 < 0.0) {
    return fail(errors::InvalidParameter{std::to_string(options.k1), "k1",
                                         "must be a finite number, not negative"});
  }
  if (!(options.b >= 0.0 && options.b <= 1.0)) {
    return fail(errors::InvalidParameter{std::to_string(options.b), "b", "must be within [0, 1]"});
  }
  return Tokenizer::create(options.language);
}

Result<TextIndex> TextIndex::create(TextIndexOptions options) {
  Result<Tokenizer> tokenizer = check_text_options(options);
  if (!tokenizer) return fail(std::move(tokenizer).error());
  return TextIndex(std::move(options), std::move(*tokenizer));
}

std::vector<TextIndex::Occurrence> TextIndex::occurrences(const Json& metadata,
                                                          std::span<std::uint32_t> lengths) const {
  std::vector<Occurrence> found;
  std::vector<std::string> terms;
  for (std::uint32_t field = 0; field < options_.fields.size(); ++field) {
    const Json* value = get_value_by_path(metadata, options_.fields[field]);
    if (value == nullptr || !value->is_string()) continue;
    terms.clear();
    tokenizer_.tokenize(value->get_ref<const std::string&>(), terms);
    lengths[field] = static_cast<std::uint32_t>(
        std::min<std::size_t>(terms.size(), std::numeric_limits<std::uint32_t>::max()));
    std::sort(terms.begin(), terms.end());
    for (std::size_t i = 0; i < terms.size();) {
      std::size_t run = i + 1;
      while (run < terms.size() && terms[run] == terms[i]) ++run;
      found.push_back({std::move(terms[i]), field, static_cast<std::uint32_t>(run - i)});
      i = run;
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Occurrence& a, const Occurrence& b) { return a.term < b.term; });
  return found;
}

std::uint32_t TextIndex::term_id(const std::string& term) {
  const auto found = term_ids_.find(term);
  if (found != term_ids_.end()) return found->second;
  VEXRA_CHECK(terms_.size() < std::numeric_limits<std::uint32_t>::max(), "too many terms");
  terms_.emplace_back();
  try {
    term_ids_.emplace(term, static_cast<std::uint32_t>(terms_.size() - 1));
  } catch (...) {
    terms_.pop_back();
    throw;
  }
  return static_cast<std::uint32_t>(terms_.size() - 1);
}

void TextIndex::add(InternalId id, const Json* metadata) {
  VEXRA_CHECK(id == next_id(), "text index ids must arrive in order");
  const std::size_t fields = options_.fields.size();
  std::vector<std::uint32_t> lengths(fields, UINT32_MAX);  // UINT32_MAX: not a string
  std::vector<Occurrence> found;
  if (metadata != nullptr) found = occurrences(*metadata, lengths);
  const bool indexed = std::any_of(lengths.begin(), lengths.end(),
                                   [](std::uint32_t length) { return length != UINT32_MAX; });
  // Room first, so that once postings are in only non-throwing steps remain.
  reserve_more(states_, 1);
  reserve_more(terms_end_, 1);
  reserve_more(lengths_, fields);
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    distinct += i == 0 || found[i].term != found[i - 1].term;
  }
  reserve_more(document_terms_, distinct);

  std::vector<std::uint32_t> ids;  // the term id of each distinct term, as its postings go in
  ids.reserve(distinct);
  std::size_t pushed = 0;  // postings of the current term pushed so far
  try {
    for (std::size_t i = 0; i < found.size(); ++i) {
      if (i == 0 || found[i].term != found[i - 1].term) {
        ids.push_back(term_id(found[i].term));
        pushed = 0;
      }
      terms_[ids.back()].postings.push_back({id, found[i].field, found[i].count});
      ++pushed;
    }
  } catch (...) {
    // Undo: the postings of the terms before the current one, then those of the current one.
    for (std::size_t t = 0; t + 1 < ids.size(); ++t) {
      std::vector<Posting>& postings = terms_[ids[t]].postings;
      while (!postings.empty() && postings.back().id == id) postings.pop_back();
    }
    if (!ids.empty()) {
      std::vector<Posting>& postings = terms_[ids.back()].postings;
      postings.resize(postings.size() - pushed);
    }
    throw;
  }
  document_terms_.insert(document_terms_.end(), ids.begin(), ids.end());
  terms_end_.push_back(document_terms_.size());
  for (std::uint32_t& length : lengths) length = length == UINT32_MAX ? 0 : length;
  lengths_.insert(lengths_.end(), lengths.begin(), lengths.end());
  states_.push_back(indexed ? State::Current : State::Unindexed);
  if (indexed) count(id, true);
}

std::span<const std::uint32_t> TextIndex::terms_of(InternalId id) const noexcept {
  const std::size_t begin = id == 0 ? 0 : terms_end_[id - 1];
  return std::span(document_terms_).subspan(begin, terms_end_[id] - begin);
}

std::span<const std::uint32_t> TextIndex::lengths_of(InternalId id) const noexcept {
  const std::size_t fields = options_.fields.size();
  return std::span(lengths_).subspan(std::size_t{id} * fields, fields);
}

void TextIndex::count(InternalId id, bool add) noexcept {
  for (const std::uint32_t term : terms_of(id)) {
    terms_[term].current_documents += add ? 1 : -1;
  }
  const std::span<const std::uint32_t> lengths = lengths_of(id);
  for (std::size_t field = 0; field < lengths.size(); ++field) {
    if (add) {
      total_lengths_[field] += lengths[field];
    } else {
      total_lengths_[field] -= lengths[field];
    }
  }
  current_ = add ? current_ + 1 : current_ - 1;
}

void TextIndex::retire(InternalId id) noexcept {
  if (id >= states_.size() || states_[id] != State::Current) return;
  count(id, false);
  states_[id] = State::Retired;
}

void TextIndex::revive(InternalId id) noexcept {
  if (id >= states_.size() || states_[id] != State::Retired) return;
  count(id, true);
  states_[id] = State::Current;
}

void TextIndex::remove_from(InternalId first) noexcept {
  while (next_id() > first) {
    const auto last = static_cast<InternalId>(states_.size() - 1);
    retire(last);
    for (const std::uint32_t term : terms_of(last)) {
      std::vector<Posting>& postings = terms_[term].postings;
      while (!postings.empty() && postings.back().id == last) postings.pop_back();
    }
    document_terms_.resize(last == 0 ? 0 : terms_end_[last - 1]);
    terms_end_.pop_back();
    lengths_.resize(lengths_.size() - options_.fields.size());
    states_.pop_back();
  }
}

std::vector<std::string> TextIndex::query_terms(std::string_view text) const {
  std::vector<std::string> terms;
  tokenizer_.tokenize(text, terms);
  std::unordered_set<std::string_view> seen;
  std::vector<std::string> distinct;
  for (std::string& term : terms) {
    if (seen.insert(term).second) distinct.push_back(term);
  }
  return distinct;
}

std::vector<TextMatch> TextIndex::search(std::span<const std::string> terms, std::uint64_t k,
                                         const std::function<bool(InternalId)>& admit) const {
  if (k == 0 || current_ == 0) return {};
  // What each field's length divides by, and the cursors of the query terms that a current
  // document holds (a term only removed versions hold contributes nothing).
  const std::size_t fields = options_.fields.size();
  std::vector<double> average_length(fields);
  for (std::size_t field = 0; field < fields; ++field) {
    average_length[field] = static_cast<double>(total_lengths_[field]) / current_;
  }
  // A query term's place in the document-at-a-time walk over its postings.
  struct TermCursor {
    const std::vector<Posting>* postings;
    std::size_t at;
    double idf;
  };
  std::vector<TermCursor> cursors;
  for (const std::string& text : terms) {
    const auto found = term_ids_.find(text);
    if (found == term_ids_.end()) continue;
    const Term& term = terms_[found->second];
    if (term.current_documents == 0) continue;
    cursors.push_back(
        {&term.postings, 0, inverse_document_frequency(current_, term.current_documents)});
  }
  const double k1 = options_.k1, b = options_.b;
  std::vector<TextMatch> best;  // a heap with the worst kept on top
  // Document at a time: each step takes the lowest id any cursor is at, so a document's term
  // contributions are summed in query order, whatever else the index holds.
  while (true) {
    InternalId id = std::numeric_limits<InternalId>::max();
    bool any = false;
    for (const TermCursor& cursor : cursors) {
      if (cursor.at == cursor.postings->size()) continue;
      id = std::min(id, (*cursor.postings)[cursor.at].id);
      any = true;
    }
    if (!any) break;
    const bool current = states_[id] == State::Current;
    const std::span<const std::uint32_t> lengths = lengths_of(id);
    double score = 0.0;
    for (TermCursor& cursor : cursors) {
      const std::vector<Posting>& postings = *cursor.postings;
      double weight = 0.0;
      bool holds = false;
      for (; cursor.at < postings.size() && postings[cursor.at].id == id; ++cursor.at) {
        if (!current) continue;
        const Posting& posting = postings[cursor.at];
        weight += posting.count /
                  (1.0 - b + b * (lengths[posting.field] / average_length[posting.field]));
        holds = true;
      }
      if (holds) score += cursor.idf * (weight * (k1 + 1.0)) / (weight + k1);
    }
    if (!current) continue;
    const TextMatch match{id, score};
    if (best.size() == k && !better_match(match, best.front())) continue;
    if (!admit(id)) continue;
    if (best.size() == k) {
      std::pop_heap(best.begin(), best.end(), better_match);
      best.pop_back();
    }
    best.push_back(match);
    std::push_heap(best.begin(), best.end(), better_match);
  }
  std::sort_heap(best.begin(), best.end(), better_match);
  return best;
}

void TextIndex::shrink_to_fit() {
  for (Term& term : terms_) term.postings.shrink_to_fit();
  terms_.shrink_to_fit();
  states_.shrink_to_fit();
  terms_end_.shrink_to_fit();
  document_terms_.shrink_to_fit();
  lengths_.shrink_to_fit();
}

std::size_t TextIndex::memory_usage() const noexcept {
  std::size_t bytes = terms_.capacity() * sizeof(Term) + states_.capacity() * sizeof(State) +
                      terms_end_.capacity() * sizeof(std::uint64_t) +
                      document_terms_.capacity() * sizeof(std::uint32_t) +
                      lengths_.capacity() * sizeof(std::uint32_t);
  for (const Term& term : terms_) bytes += term.postings.capacity() * sizeof(Posting);
  // The dictionary: each entry's node and text, and the bucket array.
  for (const auto& [text, id] : term_ids_) {
    bytes += sizeof(std::pair<const std::string, std::uint32_t>) + 2 * sizeof(void*) +
             (text.size() > 15 ? text.capacity() + 1 : 0);
  }
  return bytes + term_ids_.bucket_count() * sizeof(void*);
}

}  // namespace vexradb
