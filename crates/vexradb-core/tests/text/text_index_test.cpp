#include "text/text_index.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "durable/persistent.hpp"
#include "engine/engine.hpp"
#include "engine/hybrid_search.hpp"
#include "random_vectors.hpp"
#include "temp_dir.hpp"

namespace vexradb {
namespace {

// A small fixed corpus of package descriptions: titles and bodies of plain lowercase words, so
// that the direct computations below can split them on spaces.
struct Document {
  const char* id;
  const char* title;
  const char* body;
};
constexpr Document kCorpus[] = {
    {"zstd", "fast lossless compression", "zstandard is a fast lossless compression algorithm"},
    {"gzip", "gnu compression utility", "gzip reduces the size of files with lempel ziv coding"},
    {"xz", "xz compression utilities", "xz utils compress files with the lzma compression"},
    {"bzip2", "block sorting file compressor",
     "bzip2 compresses files with the burrows wheeler "
     "block sorting text compression algorithm"},
    {"vim", "vi improved text editor", "vim is an almost compatible version of the unix editor vi"},
    {"nano", "small friendly text editor", "nano is a small and friendly text editor"},
    {"emacs", "gnu emacs editor", "emacs is the extensible self documenting text editor"},
    {"curl", "command line url tool",
     "curl is a command line tool for transferring data with url "
     "syntax over http and ftp"},
    {"wget", "retrieves files from the web",
     "wget is a network utility to retrieve files from "
     "the web using http and ftp"},
    {"git", "fast scalable distributed revision control",
     "git is popular version control system "
     "designed to handle large projects"},
    {"mercurial", "easy to use scalable distributed version control",
     "mercurial is a fast lightweight source control management system"},
    {"sqlite3", "command line interface for sqlite",
     "sqlite is a c library that implements an "
     "sql database engine"},
    {"postgresql", "object relational sql database",
     "postgresql is a fully featured object "
     "relational database management system"},
    {"redis", "persistent key value database",
     "redis is a key value database in a similar vein "
     "to memcache but the dataset is non volatile"},
    {"nginx", "small powerful scalable web proxy server",
     "nginx is a web server with a strong "
     "focus on high concurrency performance"},
    {"apache2", "apache http server",
     "the apache http server project develops and maintains an "
     "open source http server"},
    {"python3", "interactive high level object oriented language",
     "python is an interactive "
     "high level object oriented "
     "programming language"},
    {"perl", "larry wall practical extraction and report language",
     "perl is a highly capable "
     "feature rich programming "
     "language"},
    {"gcc", "gnu c compiler", "this is the gnu c compiler a fairly portable optimizing compiler"},
    {"clang", "c c and objective c compiler",
     "clang project is a c c objective c front end for "
     "the llvm compiler"},
};

Json document_json(const Document& document) {
  Json metadata = Json::object();
  metadata["title"] = document.title;
  metadata["body"] = document.body;
  metadata["group"] = std::string(document.id).size() % 2 == 0 ? "even" : "odd";
  return metadata;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

std::vector<std::string> tokens(const Tokenizer& tokenizer, std::string_view text) {
  std::vector<std::string> out;
  tokenizer.tokenize(text, out);
  return out;
}

using Terms = std::vector<std::string>;

TextIndexOptions options_for(std::vector<std::string> fields,
                             std::optional<std::string> language = std::nullopt) {
  return {std::move(fields), std::move(language), 1.2, 0.75};
}

TEST(Tokenizer, SplitsFoldsCaseAndRemovesAccentsLikeUnicode61) {
  const Tokenizer tokenizer = Tokenizer::create(std::nullopt).value();
  EXPECT_EQ(tokens(tokenizer, "Don't STOP: café 3.14 x86_64 Straße naïve ÉCOLE Ωμέγα ﬁne"),
            (Terms{"don", "t", "stop", "cafe", "3", "14", "x86", "64", "straße", "naive", "ecole",
                   "ωμεγα", "fine"}));
  EXPECT_TRUE(tokens(tokenizer, "  ... --- !!! ").empty());
  EXPECT_TRUE(tokens(tokenizer, "").empty());
  // ASCII text skips ICU; a non-ASCII word appended sends the same text through it.
  for (const char* text : {"Hello, World_2 it's x86-64", "e.g. v1.2.3-rc1 (C++) a/b", "'quoted'",
                           "ALL-CAPS_and_snake 42nd 3rd-party", "tab\tand\nnewline"}) {
    Terms expected = tokens(tokenizer, text);
    expected.push_back("e");
    EXPECT_EQ(tokens(tokenizer, std::string(text) + " é"), expected) << text;
  }
}

TEST(Tokenizer, StemsByLanguageNameAndRefusesUnknownLanguages) {
  const Tokenizer english = Tokenizer::create("english").value();
  EXPECT_EQ(tokens(english, "Running runners compressed"), (Terms{"run", "runner", "compress"}));
  const Result<Tokenizer> unknown = Tokenizer::create("klingon");
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error().kind(), ErrorKind::InvalidParameter);
}

// BM25 of every document computed from term and document counts, straight from its definition:
// fields of space-separated words, statistics over `live` documents alone.
std::map<InternalId, double> direct_scores(const std::vector<std::vector<std::string>>& fields,
                                           const std::vector<bool>& live, const Terms& query,
                                           double k1, double b) {
  const std::size_t field_count = fields[0].size();
  double n = 0;
  std::vector<double> average(field_count, 0.0);
  for (std::size_t d = 0; d < fields.size(); ++d) {
    if (!live[d]) continue;
    ++n;
    for (std::size_t f = 0; f < field_count; ++f) average[f] += words(fields[d][f]).size();
  }
  for (double& total : average) total /= n;
  std::map<InternalId, double> scores;
  for (const std::string& term : query) {
    double holding = 0;
    for (std::size_t d = 0; d < fields.size(); ++d) {
      bool holds = false;
      for (const std::string& text : fields[d]) {
        for (const std::string& word : words(text)) holds |= word == term;
      }
      holding += live[d] && holds;
    }
    if (holding == 0) continue;
    const double idf = std::max(std::log((n - holding + 0.5) / (holding + 0.5)), 1e-6);
    for (std::size_t d = 0; d < fields.size(); ++d) {
      if (!live[d]) continue;
      double weight = 0;
      for (std::size_t f = 0; f < field_count; ++f) {
        const std::vector<std::string> field_words = words(fields[d][f]);
        const double tf =
            static_cast<double>(std::count(field_words.begin(), field_words.end(), term));
        weight += tf / (1 - b + b * field_words.size() / average[f]);
      }
      if (weight > 0) scores[static_cast<InternalId>(d)] += idf * weight * (k1 + 1) / (weight + k1);
    }
  }
  return scores;
}

// The index's answer against the direct scores, best first and ties by id.
void expect_direct_scores(const TextIndex& index, const std::map<InternalId, double>& expected,
                          const Terms& query) {
  std::vector<TextMatch> ranked;
  for (const auto& [id, score] : expected) ranked.push_back({id, score});
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const TextMatch& a, const TextMatch& b) { return a.score > b.score; });
  const std::vector<TextMatch> found = index.search(query, 1000, [](InternalId) { return true; });
  ASSERT_EQ(found.size(), ranked.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].id, ranked[i].id) << "rank " << i;
    EXPECT_NEAR(found[i].score, ranked[i].score, 1e-12 * std::abs(ranked[i].score));
  }
}

TEST(TextIndex, ScoresEqualBm25ComputedFromTermAndDocumentCounts) {
  const std::vector<Terms> queries = {{"compression"},
                                      {"text", "editor"},
                                      {"fast", "compression", "files"},
                                      {"is"},
                                      {"the", "database", "missing"},
                                      {"c", "compiler"}};
  for (const auto& [k1, b] : {std::pair{1.2, 0.75}, std::pair{2.0, 0.3}, std::pair{0.5, 1.0}}) {
    // One field, then two, each length normalised by its own average.
    for (const std::vector<std::string>& chosen :
         {std::vector<std::string>{"body"}, std::vector<std::string>{"title", "body"}}) {
      TextIndex index = TextIndex::create({chosen, std::nullopt, k1, b}).value();
      std::vector<std::vector<std::string>> fields;
      for (const Document& document : kCorpus) {
        const Json metadata = document_json(document);
        index.add(index.next_id(), &metadata);
        std::vector<std::string> texts;
        for (const std::string& field : chosen) texts.push_back(metadata[field]);
        fields.push_back(texts);
      }
      // A document without metadata and one whose fields are not strings are not indexed.
      index.add(index.next_id(), nullptr);
      Json numbers = Json::object();
      numbers["title"] = 7;
      numbers["body"] = Json::array({"compression"});
      index.add(index.next_id(), &numbers);
      std::vector<bool> live(fields.size(), true);
      for (const Terms& query : queries) {
        expect_direct_scores(index, direct_scores(fields, live, query, k1, b), query);
      }
      // A retired document leaves the statistics, and comes back with them.
      for (const InternalId gone : {0u, 3u, 9u}) {
        index.retire(gone);
        live[gone] = false;
      }
      EXPECT_EQ(index.document_count(), fields.size() - 3);
      for (const Terms& query : queries) {
        expect_direct_scores(index, direct_scores(fields, live, query, k1, b), query);
      }
      index.revive(3);
      live[3] = true;
      expect_direct_scores(index, direct_scores(fields, live, queries[2], k1, b), queries[2]);
    }
  }
}

// ---- Engines ------------------------------------------------------------------------------------

constexpr std::size_t kDimensions = 8;
const TextIndexOptions kOptions{{"title", "body"}, std::nullopt, 1.2, 0.75};
const std::vector<std::string> kQueries = {
    "compression files", "text editor",    "http server web",     "fast scalable version control",
    "sql database",      "c compiler gnu", "nothing matches this"};

using Answer = std::vector<std::pair<std::string, double>>;

template <class Db>
std::vector<Answer> answers(const Db& db, const Filter* filter = nullptr) {
  std::vector<Answer> all;
  for (const std::string& query : kQueries) {
    Answer answer;
    const std::vector<TextHit> hits = db.text_search(query, 100, filter).value();
    for (const TextHit& hit : hits) {
      answer.emplace_back(hit.id.str(), hit.score);
    }
    all.push_back(answer);
  }
  return all;
}

// What an index built afresh from the live documents of `db` answers: they are stored anew in
// their order (so that ties fall the same way) into an engine that indexes them as they come.
template <class Db>
std::vector<Answer> fresh_answers(const Db& db, const Filter* filter = nullptr) {
  Config config;
  config.dimensions = kDimensions;
  VectorDb fresh(config);
  EXPECT_TRUE(fresh.index_text(kOptions));
  std::mt19937 rng(7);
  for (const ListItem& item : db.list(0, UINT32_MAX)) {
    EXPECT_TRUE(fresh.insert(item.id, testing::random_vector(rng, kDimensions), item.metadata));
  }
  return answers(fresh, filter);
}

// Inserts, upserts (new text for some ids, none for others), deletes and a batch upsert.
template <class Db>
void change(Db& db, std::mt19937& rng, int round) {
  for (std::size_t i = 0; i < std::size(kCorpus); ++i) {
    const Document& document = kCorpus[(i * 7 + round) % std::size(kCorpus)];
    const VectorId id(std::string(document.id) + (i % 3 == 0 ? "" : "-" + std::to_string(round)));
    std::optional<Json> metadata = document_json(document);
    if (i % 5 == 4) metadata.reset();
    ASSERT_TRUE(db.upsert(id, testing::random_vector(rng, kDimensions), metadata));
  }
  for (std::size_t i = round; i < std::size(kCorpus); i += 4) {
    (void)db.remove(std::string(kCorpus[i].id) + "-" + std::to_string(round));
    (void)db.remove(kCorpus[(i + 1) % std::size(kCorpus)].id);
  }
  std::vector<BatchEntry> batch;
  for (std::size_t i = 0; i < 6; ++i) {
    const Document& document = kCorpus[(i * 3 + round) % std::size(kCorpus)];
    batch.push_back(
        {VectorId(document.id), testing::random_vector(rng, kDimensions), document_json(document)});
  }
  ASSERT_TRUE(db.upsert_batch(std::move(batch)));
}

template <class Db>
void expect_as_fresh(const Db& db) {
  EXPECT_EQ(answers(db), fresh_answers(db));
  const Filter odd(Filter::Eq{"group", Json("odd")});
  EXPECT_EQ(answers(db, &odd), fresh_answers(db, &odd));
  std::size_t found = 0;
  for (const Answer& answer : answers(db, &odd)) found += answer.size();
  EXPECT_GT(found, 0u);  // the comparison is not between empty answers
}

template <class Db>
void expect_consistent_through_changes_and_reclaims(std::unique_ptr<Db> db) {
  std::mt19937 rng(1);
  change(*db, rng, 0);
  // Configured after changes: built from what the store holds, dead versions included.
  ASSERT_TRUE(db->index_text(kOptions));
  expect_as_fresh(*db);
  for (int round = 1; round < 4; ++round) {
    change(*db, rng, round);
    expect_as_fresh(*db);
    ASSERT_TRUE(reclaim_space(db, /*force=*/true));
    EXPECT_EQ(db->removed_count(), 0u);
    expect_as_fresh(*db);
  }
}

TEST(TextIndexEngines, FullPrecisionAnswersAsAFreshIndexThroughChangesAndReclaims) {
  Config config;
  config.dimensions = kDimensions;
  expect_consistent_through_changes_and_reclaims(std::make_unique<VectorDb>(config));
}

TEST(TextIndexEngines, QuantizedAnswersAsAFreshIndexThroughChangesAndReclaims) {
  Config config;
  config.dimensions = kDimensions;
  config.quantization = Quantization::SQ8;
  config.oversampling = 4;
  expect_consistent_through_changes_and_reclaims(
      std::make_unique<QuantizedVectorDb>(config, true, Originals::InMemory));
}

template <class Db>
void expect_durable_consistent(const std::filesystem::path& directory, Quantization quantization) {
  PersistentConfig config;
  config.engine.dimensions = kDimensions;
  config.engine.quantization = quantization;
  config.engine.oversampling = 4;
  std::mt19937 rng(3);
  {
    std::unique_ptr<Db> db = Db::open(directory, config).value();
    ASSERT_TRUE(db->index_text(kOptions));
    change(*db, rng, 0);
    expect_as_fresh(*db);
    ASSERT_TRUE(db->checkpoint());
    expect_as_fresh(*db);
    change(*db, rng, 1);
    expect_as_fresh(*db);
  }
  // Reopened: the index is configured again over what recovery rebuilt.
  std::unique_ptr<Db> db = Db::open(directory, config).value();
  EXPECT_EQ(db->text_search("editor", 5, nullptr).error().kind(), ErrorKind::InvalidConfiguration);
  ASSERT_TRUE(db->index_text(kOptions));
  expect_as_fresh(*db);
  change(*db, rng, 2);
  ASSERT_TRUE(db->checkpoint());
  expect_as_fresh(*db);
}

TEST(TextIndexEngines, DurableAnswersAsAFreshIndexThroughCheckpointsAndReopening) {
  testing::TempDir full, quantized;
  expect_durable_consistent<PersistentVectorDb>(full.path(), Quantization::None);
  expect_durable_consistent<PersistentQuantizedDb>(quantized.path(), Quantization::SQ8);
}

TEST(TextIndexEngines, RefusesBadQueriesAndFindsNothingInTextWithoutWords) {
  Config config;
  config.dimensions = kDimensions;
  VectorDb db(config);
  std::mt19937 rng(5);
  ASSERT_TRUE(db.insert(VectorId("a"), testing::random_vector(rng, kDimensions),
                        document_json(kCorpus[0])));
  EXPECT_EQ(db.text_search("fast", 5, nullptr).error().kind(), ErrorKind::InvalidConfiguration);
  EXPECT_EQ(db.index_text(options_for({"title"}, "klingon")).error().kind(),
            ErrorKind::InvalidParameter);
  ASSERT_TRUE(db.index_text(options_for({"title"})));
  EXPECT_EQ(db.text_search("", 5, nullptr).error().kind(), ErrorKind::InvalidParameter);
  EXPECT_TRUE(db.text_search(" ,.;!? ", 5, nullptr).value().empty());
  EXPECT_EQ(db.text_search("FAST", 5, nullptr).value().size(), 1u);
  EXPECT_TRUE(db.text_search("fast", 0, nullptr).value().empty());
}

// ---- Hybrid fusion ------------------------------------------------------------------------------

SearchHit vector_hit(const char* id, float distance) { return {VectorId(id), distance, {}}; }
TextHit text_hit(const char* id, double score) { return {VectorId(id), score, {}}; }

std::vector<std::string> ids_of(const std::vector<HybridHit>& hits) {
  std::vector<std::string> ids;
  for (const HybridHit& hit : hits) ids.push_back(hit.id.str());
  return ids;
}

TEST(HybridFusion, OrdersByWeightedReciprocalRanksWithTiesByRankThenId) {
  const std::vector<SearchHit> nearest = {vector_hit("a", 0.1f), vector_hit("b", 0.2f),
                                          vector_hit("c", 0.3f)};
  const std::vector<TextHit> keyword = {text_hit("c", 9.0), text_hit("d", 5.0), text_hit("a", 1.0)};
  // Equal weights, c = 1: a = 1/2 + 1/4, c = 1/4 + 1/2 (tie: c has the better keyword rank),
  // b = 1/3, d = 1/3 (tie: d has a keyword rank, b none).
  FusionOptions fusion{50, 1.0, 0.5};
  std::vector<HybridHit> fused = fuse(nearest, keyword, 10, fusion);
  EXPECT_EQ(ids_of(fused), (std::vector<std::string>{"c", "a", "d", "b"}));
  EXPECT_DOUBLE_EQ(fused[0].score, 0.5 * (1.0 / 4 + 1.0 / 2));
  EXPECT_EQ(fused[0].vector_rank, 3u);
  EXPECT_EQ(fused[0].distance, 0.3f);
  EXPECT_EQ(fused[0].text_rank, 1u);
  EXPECT_EQ(fused[0].text_score, 9.0);
  EXPECT_FALSE(fused[3].text_rank.has_value());
  // The weight decides between the lists; k cuts.
  EXPECT_EQ(ids_of(fuse(nearest, keyword, 2, {50, 1.0, 0.0})),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ids_of(fuse(nearest, keyword, 2, {50, 1.0, 1.0})),
            (std::vector<std::string>{"c", "d"}));
  // Equal sums and ranks fall to the id.
  EXPECT_EQ(ids_of(fuse({vector_hit("y", 0.1f)}, {text_hit("x", 1.0)}, 2, fusion)),
            (std::vector<std::string>{"x", "y"}));
  for (const FusionOptions& bad : {FusionOptions{0}, FusionOptions{kMaxFusionDepth + 1},
                                   FusionOptions{50, -1.0}, FusionOptions{50, 60.0, 1.5}}) {
    EXPECT_EQ(check_fusion(bad).error().kind(), ErrorKind::InvalidParameter);
  }
}

}  // namespace
}  // namespace vexradb
