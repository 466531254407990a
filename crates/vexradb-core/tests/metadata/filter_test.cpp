#include "metadata/filter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "metadata/filter_json.hpp"
#include "metadata/metadata_index.hpp"

namespace vexradb {
namespace {

Json json(std::string_view text) {
  auto parsed = parse_json(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed ? *parsed : Json();
}

Filter eq(std::string field, std::string_view value) {
  return Filter(Filter::Eq{std::move(field), json(value)});
}

Filter negate(Filter filter) { return Filter::negate(std::move(filter)).value(); }

Filter range(std::optional<double> gt, std::optional<double> gte, std::optional<double> lt,
             std::optional<double> lte) {
  return Filter(Filter::Range{gt, gte, lt, lte, "x"});
}

Filter near(double lat, double lon, double radius) {
  return Filter(Filter::GeoRadius{"p", lat, lon, radius});
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

TEST(FilterPathTest, ResolvesObjectMembersOnly) {
  const Json doc = json(R"({"a":{"b":5,"":{"c":1}},"":{"":7},"list":[{"x":1}],"A":0,"s":"text"})");
  auto resolves_to = [&doc](std::string_view path, std::string_view expected) {
    const Json* found = get_value_by_path(doc, path);
    return found != nullptr && json_equal(*found, json(expected));
  };
  EXPECT_EQ(get_value_by_path(doc, ""), &doc);
  EXPECT_TRUE(resolves_to("a.b", "5"));
  EXPECT_TRUE(resolves_to("A", "0"));
  // Empty segments look up the empty key.
  EXPECT_TRUE(resolves_to("a.", R"({"c":1})"));
  EXPECT_TRUE(resolves_to("a..c", "1"));
  EXPECT_TRUE(resolves_to(".", "7"));
  EXPECT_EQ(get_value_by_path(doc, "a.."), nullptr);
  // Arrays are never indexed, scalars have no members, keys are case-sensitive.
  EXPECT_EQ(get_value_by_path(doc, "list.0"), nullptr);
  EXPECT_EQ(get_value_by_path(doc, "list.0.x"), nullptr);
  EXPECT_EQ(get_value_by_path(doc, "s.length"), nullptr);
  EXPECT_EQ(get_value_by_path(doc, "a.B"), nullptr);
  EXPECT_EQ(get_value_by_path(doc, "missing"), nullptr);
  EXPECT_EQ(get_value_by_path(json("[1]"), "0"), nullptr);
}

TEST(FilterEqTest, NumbersMatchOnlyTheirOwnKind) {
  const Json doc = json(R"({"a":{"b":5},"n":null,"neg":-3,"f":2.5,"o":{"y":[1,2],"x":"s"}})");
  EXPECT_TRUE(matches(eq("a.b", "5"), doc));
  EXPECT_TRUE(matches(Filter(Filter::Eq{"a.b", Json(5)}), doc));
  EXPECT_FALSE(matches(eq("a.b", "5.0"), doc));
  EXPECT_FALSE(matches(eq("a.b", "\"5\""), doc));
  EXPECT_TRUE(matches(eq("neg", "-3"), doc));
  EXPECT_FALSE(matches(eq("neg", "-3.0"), doc));
  EXPECT_TRUE(matches(eq("f", "2.5"), doc));
  // A present null matches null; a missing field matches nothing.
  EXPECT_TRUE(matches(eq("n", "null"), doc));
  EXPECT_FALSE(matches(eq("missing", "null"), doc));
  // Structured values compare whole, whatever the member order of the operand's text.
  EXPECT_TRUE(matches(eq("o", R"({"x":"s","y":[1,2]})"), doc));
  EXPECT_FALSE(matches(eq("o", R"({"x":"s","y":[2,1]})"), doc));
}

TEST(FilterEqTest, EmptyFieldComparesTheWholeMetadata) {
  EXPECT_TRUE(matches(eq("", "[1,\"a\"]"), json("[1,\"a\"]")));
  EXPECT_TRUE(matches(eq("", "7"), json("7")));
  EXPECT_FALSE(matches(eq("", "7"), json("{\"\":7}")));
}

TEST(FilterNotTest, MissingFieldsMatchUnderNegation) {
  const Json doc = json(R"({"a":1})");
  EXPECT_TRUE(matches(negate(eq("b", "1")), doc));
  EXPECT_FALSE(matches(negate(eq("a", "1")), doc));
  EXPECT_TRUE(matches(negate(negate(eq("a", "1"))), doc));
  EXPECT_FALSE(matches(negate(negate(eq("b", "1"))), doc));
}

TEST(FilterInTest, MatchesAnyListedValueOfTheSameKind) {
  const Json doc = json(R"({"tag":"red","n":2})");
  auto in = [](std::string field, std::vector<std::string_view> values) {
    std::vector<Json> parsed;
    for (auto value : values) parsed.push_back(json(value));
    return Filter(Filter::In{std::move(field), std::move(parsed)});
  };
  EXPECT_TRUE(matches(in("tag", {"\"blue\"", "\"red\""}), doc));
  EXPECT_FALSE(matches(in("tag", {"\"blue\"", "\"RED\""}), doc));
  EXPECT_FALSE(matches(in("tag", {}), doc));
  EXPECT_FALSE(matches(in("", {}), doc));
  EXPECT_FALSE(matches(in("n", {"2.0", "\"2\""}), doc));
  EXPECT_TRUE(matches(in("n", {"2.0", "2"}), doc));
  EXPECT_FALSE(matches(in("missing", {"null"}), doc));
}

TEST(FilterRangeTest, BoundsAreCheckedOnTheNumberAsDouble) {
  const Filter half_open = range(std::nullopt, 10.0, 20.0, std::nullopt);
  for (const char* inside : {"10", "15.5", "19.999", "10.0"}) {
    EXPECT_TRUE(matches(half_open, json(std::string("{\"x\":") + inside + "}"))) << inside;
  }
  for (const char* outside : {"20", "9.999", "\"15\"", "null", "[15]", "true"}) {
    EXPECT_FALSE(matches(half_open, json(std::string("{\"x\":") + outside + "}"))) << outside;
  }
  EXPECT_FALSE(matches(half_open, json("{}")));

  const Filter open = range(-1.0, std::nullopt, std::nullopt, 1.0);
  EXPECT_FALSE(matches(open, json(R"({"x":-1})")));
  EXPECT_TRUE(matches(open, json(R"({"x":-0.5})")));
  EXPECT_TRUE(matches(open, json(R"({"x":1})")));
  EXPECT_FALSE(matches(open, json(R"({"x":1.0000001})")));

  // No bounds: every number, and only numbers.
  const Filter any_number = range(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  EXPECT_TRUE(matches(any_number, json(R"({"x":-9223372036854775808})")));
  EXPECT_FALSE(matches(any_number, json(R"({"x":"1"})")));

  // Integers are converted before comparing: 2^53 + 1 becomes 2^53, and the largest unsigned
  // value becomes 2^64.
  EXPECT_TRUE(matches(range(std::nullopt, std::nullopt, std::nullopt, 9007199254740992.0),
                      json(R"({"x":9007199254740993})")));
  EXPECT_TRUE(matches(range(std::nullopt, 18446744073709551616.0, std::nullopt, std::nullopt),
                      json(R"({"x":18446744073709551615})")));
  EXPECT_FALSE(matches(range(std::nullopt, std::nullopt, 18446744073709551616.0, std::nullopt),
                       json(R"({"x":18446744073709551615})")));

  // Comparisons with NaN fail, whichever side it is on.
  EXPECT_FALSE(matches(range(kNaN, std::nullopt, std::nullopt, std::nullopt), json(R"({"x":1})")));
  EXPECT_FALSE(
      matches(range(std::nullopt, std::nullopt, std::nullopt, kInfinity), Json{{"x", kNaN}}));
  EXPECT_TRUE(
      matches(range(std::nullopt, std::nullopt, std::nullopt, kInfinity), json(R"({"x":1e308})")));
}

TEST(FilterGeoTest, ReadsPointsFromObjectsAndPairs) {
  const Filter at_paris = near(48.85, 2.35, 0.0);
  for (const char* point : {R"({"lat":48.85,"lon":2.35})", R"({"latitude":48.85,"lon":2.35})",
                            R"({"latitude":48.85,"longitude":2.35,"x":0})", "[48.85,2.35]",
                            R"({"lat":48.85,"latitude":0,"lon":2.35,"longitude":"x"})"}) {
    EXPECT_TRUE(matches(at_paris, json(std::string("{\"p\":") + point + "}"))) << point;
  }
  for (const char* point :
       {"[48.85,2.35,0]", "[48.85]", R"(["48.85",2.35])", R"({"lat":"48.85","lon":2.35})",
        R"({"lat":"x","latitude":48.85,"lon":2.35})", R"({"lat":48.85})",
        R"({"lat":48.85,"lng":2.35})", "\"48.85,2.35\"", "null"}) {
    EXPECT_FALSE(matches(at_paris, json(std::string("{\"p\":") + point + "}"))) << point;
  }
  EXPECT_FALSE(matches(at_paris, json(R"({"q":[48.85,2.35]})")));
  // Integer coordinates of either kind are numbers too.
  EXPECT_TRUE(matches(near(-1.0, 3.0, 0.0), json(R"({"p":[-1,3]})")));
}

TEST(FilterGeoTest, MeasuresHaversineDistanceInMetres) {
  // One degree along a meridian is EARTH_RADIUS_METERS * pi / 180 = 111194.9266... m.
  const Json one_degree_north = json(R"({"p":[1,0]})");
  EXPECT_TRUE(matches(near(0.0, 0.0, 111194.927), one_degree_north));
  EXPECT_FALSE(matches(near(0.0, 0.0, 111194.926), one_degree_north));
  // Paris to London is about 343.5 km.
  const Json london = json(R"({"p":{"lat":51.5074,"lon":-0.1278}})");
  EXPECT_TRUE(matches(near(48.8566, 2.3522, 344000.0), london));
  EXPECT_FALSE(matches(near(48.8566, 2.3522, 343000.0), london));
  // A NaN coordinate or radius matches nothing.
  EXPECT_FALSE(matches(near(kNaN, 0.0, kInfinity), one_degree_north));
  EXPECT_FALSE(matches(near(0.0, 0.0, kNaN), one_degree_north));
  EXPECT_FALSE(matches(near(0.0, 0.0, kInfinity), Json{{"p", {kNaN, 0.0}}}));
}

// For these near-antipodal pairs the haversine term rounds to just above 1; the distance is
// still half the circumference, not NaN.
TEST(FilterGeoTest, AntipodalPointsAreHalfACircumferenceAway) {
  const double half_circumference = std::numbers::pi * EARTH_RADIUS_METERS;
  for (const double lat : {2.5, 2.6, 5.5}) {
    const Json antipode{{"p", {-lat, 180.0}}};
    EXPECT_TRUE(matches(near(lat, 0.0, half_circumference), antipode)) << lat;
    EXPECT_TRUE(matches(near(lat, 0.0, 2.1e7), antipode)) << lat;
    EXPECT_FALSE(matches(near(lat, 0.0, 2.0e7), antipode)) << lat;
  }
}

TEST(FilterCombinatorTest, EmptyAndMatchesEmptyOrDoesNot) {
  const Json doc = json("{}");
  EXPECT_TRUE(matches(Filter::all({}).value(), doc));
  EXPECT_FALSE(matches(Filter::any({}).value(), doc));
  EXPECT_FALSE(matches(negate(Filter::all({}).value()), doc));
  EXPECT_TRUE(matches(negate(Filter::any({}).value()), doc));
}

Filter nest_negations(std::size_t count) {
  Filter filter = eq("a", "1");
  for (std::size_t i = 0; i < count; ++i) filter = negate(std::move(filter));
  return filter;
}

TEST(FilterCombinatorTest, NestingDeeperThan128LevelsIsRefused) {
  const Filter deepest = nest_negations(127);
  EXPECT_EQ(deepest.depth(), 128u);
  // 127 negations over a matching leaf: an odd count, so no match.
  EXPECT_FALSE(matches(deepest, json(R"({"a":1})")));

  auto too_deep = Filter::negate(deepest);
  ASSERT_FALSE(too_deep.has_value());
  const auto* refusal = too_deep.error().get_if<errors::InvalidParameter>();
  ASSERT_NE(refusal, nullptr);
  EXPECT_EQ(refusal->name, "filter");
  EXPECT_EQ(refusal->value, "129");

  std::vector<Filter> operands;
  operands.push_back(eq("a", "1"));
  operands.push_back(deepest);
  EXPECT_FALSE(Filter::all(operands).has_value());
  EXPECT_FALSE(Filter::any(std::move(operands)).has_value());

  // The bound counts levels, not operands: a wide filter is fine.
  std::vector<Filter> wide(10000, eq("a", "1"));
  auto broad = Filter::any(std::move(wide));
  ASSERT_TRUE(broad.has_value());
  EXPECT_EQ(broad->depth(), 2u);
}

// The JSON form builds the same filters as the constructors: each form is checked on metadata
// that lies on either side of its test.
TEST(FilterJsonTest, EveryFormMatchesAsTheFilterItDescribes) {
  struct Case {
    const char* filter;
    const char* passes;
    const char* fails;
  };
  const Case cases[] = {
      {R"({"field":"genre","eq":"jazz"})", R"({"genre":"jazz"})", R"({"genre":"rock"})"},
      {R"({"field":"year","in":[1999,2001]})", R"({"year":2001})", R"({"year":2000})"},
      {R"({"field":"price","gte":10,"lt":100})", R"({"price":10})", R"({"price":100})"},
      {R"({"field":"price","gt":10})", R"({"price":10.5})", R"({"price":"11"})"},
      {R"({"field":"a.b","lte":-1})", R"({"a":{"b":-1}})", R"({"a":{"b":0}})"},
      {R"({"field":"at","geo_radius":{"lat":48.8566,"lon":2.3522,"meters":5000}})",
       R"({"at":[48.86,2.34]})", R"({"at":{"lat":51.5,"lon":-0.12}})"},
      {R"({"not":{"field":"genre","eq":"jazz"}})", R"({"genre":"rock"})", R"({"genre":"jazz"})"},
      {R"({"and":[{"field":"x","gt":0},{"field":"y","lt":0}]})", R"({"x":1,"y":-1})",
       R"({"x":1,"y":1})"},
      {R"({"or":[{"field":"x","gt":0},{"field":"y","lt":0}]})", R"({"x":0,"y":-1})",
       R"({"x":0,"y":0})"},
  };
  for (const Case& c : cases) {
    const Result<Filter> filter = filter_from_json(c.filter);
    ASSERT_TRUE(filter.has_value()) << c.filter;
    EXPECT_TRUE(matches(*filter, json(c.passes))) << c.filter;
    EXPECT_FALSE(matches(*filter, json(c.fails))) << c.filter;
  }
}

TEST(FilterJsonTest, RefusesWhatIsNotAFilterWithAClearMessage) {
  const std::pair<const char*, const char*> refusals[] = {
      {R"({"field":"a","eq":)", "EOF while parsing a value"},
      {R"([1])", "filter: a filter is a non-empty object"},
      {R"({})", "filter: a filter is a non-empty object"},
      {R"({"eq":1})", R"(filter: a test needs a "field" string)"},
      {R"({"field":"a"})", "filter: a test needs one of"},
      {R"({"field":"a","like":"b"})", "filter: unknown key `like`"},
      {R"({"field":"a","eq":1,"in":[1]})", "filter: a test takes one of"},
      {R"({"field":"a","gt":1,"eq":1})", "filter: range bounds cannot be mixed"},
      {R"({"field":"a","gt":"1"})", "filter: `gt` takes a finite number"},
      {R"({"field":"a","in":1})", "filter: `in` takes an array"},
      {R"({"field":"a","geo_radius":{"lat":1,"lon":2}})", "filter: `geo_radius` takes an object"},
      {R"({"and":{"field":"a","eq":1}})", "filter: `and` takes an array of filters"},
      {R"({"not":{"field":"a","eq":1},"or":[]})", "filter: `not` stands alone"},
  };
  for (const auto& [text, message] : refusals) {
    const Result<Filter> filter = filter_from_json(text);
    ASSERT_FALSE(filter.has_value()) << text;
    const auto* error = filter.error().get_if<errors::Serialization>();
    ASSERT_NE(error, nullptr) << text;
    EXPECT_NE(error->text.find(message), std::string::npos) << text << ": " << error->text;
  }

  // Nesting past the parser's depth limit is refused before any filter is built.
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += R"({"not":)";
  deep += R"({"field":"a","eq":1})";
  deep += std::string(200, '}');
  const Result<Filter> too_deep = filter_from_json(deep);
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_NE(too_deep.error().get_if<errors::Serialization>(), nullptr);
}

// A boolean formula over leaves "field k equals v", evaluated the obvious way.
struct Formula {
  enum class Kind { Leaf, And, Or, Not } kind = Kind::Leaf;
  int field = 0;
  int value = 0;
  std::vector<Formula> operands;

  bool holds(const std::vector<int>& fields) const {
    switch (kind) {
      case Kind::Leaf:
        return fields[field] == value;
      case Kind::And:
        for (const auto& operand : operands) {
          if (!operand.holds(fields)) return false;
        }
        return true;
      case Kind::Or:
        for (const auto& operand : operands) {
          if (operand.holds(fields)) return true;
        }
        return false;
      case Kind::Not:
        return !operands[0].holds(fields);
    }
    return false;
  }

  Filter to_filter() const {
    std::vector<Filter> built;
    for (const auto& operand : operands) built.push_back(operand.to_filter());
    switch (kind) {
      case Kind::Leaf:
        return Filter(Filter::Eq{"f" + std::to_string(field), Json(value)});
      case Kind::And:
        return Filter::all(std::move(built)).value();
      case Kind::Or:
        return Filter::any(std::move(built)).value();
      case Kind::Not:
        return Filter::negate(std::move(built[0])).value();
    }
    return Filter::all({}).value();
  }
};

constexpr int kFields = 4;
constexpr int kMissing = -1;

Formula random_formula(std::mt19937& random, int depth) {
  std::uniform_int_distribution<int> pick(0, depth == 0 ? 0 : 3);
  Formula formula;
  formula.kind = static_cast<Formula::Kind>(pick(random));
  if (formula.kind == Formula::Kind::Leaf) {
    formula.field = std::uniform_int_distribution<int>(0, kFields - 1)(random);
    formula.value = std::uniform_int_distribution<int>(0, 2)(random);
  } else {
    const int count =
        formula.kind == Formula::Kind::Not ? 1 : std::uniform_int_distribution<int>(0, 3)(random);
    for (int i = 0; i < count; ++i) formula.operands.push_back(random_formula(random, depth - 1));
  }
  return formula;
}

TEST(FilterCombinatorTest, AgreesWithAStraightforwardEvaluator) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> field_value(kMissing, 2);
  int matched = 0;
  int total = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const Formula formula = random_formula(random, 5);
    const Filter filter = formula.to_filter();
    for (int sample = 0; sample < 40; ++sample) {
      std::vector<int> fields(kFields);
      Json metadata = Json::object();
      for (int k = 0; k < kFields; ++k) {
        fields[k] = field_value(random);
        if (fields[k] != kMissing) metadata["f" + std::to_string(k)] = fields[k];
      }
      const bool expected = formula.holds(fields);
      ASSERT_EQ(matches(filter, metadata), expected) << write_json(metadata);
      matched += expected;
      ++total;
    }
  }
  // Both outcomes are well represented, so the comparison means something.
  EXPECT_GT(matched, total / 5);
  EXPECT_LT(matched, total * 4 / 5);
}

}  // namespace
}  // namespace vexradb

namespace vexradb {
namespace {

// Every value hashes alike: the index must still tell values apart by comparing them.
std::uint64_t colliding_hash(const Json&) noexcept { return 42; }

// A prepared filter must answer exactly as the plain evaluation, whether its Eq and In leaves read
// the metadata, hashed values, or an index's columns; and an exact index's lists must name
// exactly the vectors an Eq matches (an inexact one at least those). Documents mix number kinds,
// signed zeros, huge unsigned numbers, strings that spell numbers, nesting, arrays and missing
// fields; the second set adds member names that make paths ambiguous. Each set is indexed with
// the real hash and with one under which every value collides; queries also ask for values no
// document holds.
TEST(PreparedFilterTest, AgreesWithPlainEvaluationWithAndWithoutTheIndex) {
  const std::vector<Json> values = {json("1"),
                                    json("1.0"),
                                    json("-1"),
                                    json("0.0"),
                                    json("-0.0"),
                                    json("\"1\""),
                                    json("true"),
                                    json("null"),
                                    json("[1]"),
                                    json("{\"x\":1}"),
                                    json("18446744073709551615"),
                                    json("4334371919941866375"),
                                    json("\"a longer string\"")};
  const std::vector<Json> absent = {json("false"), json("2"), json("\"2\""),
                                    json("11822319689431554761")};
  std::mt19937 rng(5);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  auto random_document = [&](bool ambiguous) {
    Json doc = Json::object();
    if (pick(4) != 0) doc["a"] = values[pick(values.size())];
    if (pick(3) != 0) doc["n"] = Json{{"x", values[pick(values.size())]}};
    if (pick(5) == 0) doc["n"] = values[pick(values.size())];
    if (ambiguous && pick(3) == 0) doc["n.x"] = values[pick(values.size())];
    if (ambiguous && pick(4) == 0) doc[""] = values[pick(values.size())];
    return doc;
  };
  std::vector<Filter> filters;
  for (const char* field : {"a", "n.x", "n", ""}) {
    for (const Json& value : values) filters.push_back(Filter(Filter::Eq{field, value}));
    for (const Json& value : absent) filters.push_back(Filter(Filter::Eq{field, value}));
    filters.push_back(Filter(Filter::In{field, absent}));
    filters.push_back(negate(Filter(Filter::Eq{field, absent.back()})));
    std::vector<Json> many(values.begin(), values.end());
    filters.push_back(Filter(Filter::In{field, many}));
    filters.push_back(Filter(Filter::In{field, {values[0], values[5], values[8]}}));
    filters.push_back(negate(Filter(Filter::Eq{field, values[0]})));
  }
  filters.push_back(Filter::all({Filter(Filter::Eq{"a", values[0]}),
                                 negate(Filter(Filter::Eq{"n.x", values[6]}))})
                        .value());
  filters.push_back(
      Filter::any({Filter(Filter::In{"a", {values[1], values[2]}}),
                   Filter(Filter::Range{std::nullopt, 0.5, std::nullopt, std::nullopt, "n.x"})})
          .value());

  for (const auto& [ambiguous, hasher] :
       {std::pair{false, &json_value_hash}, std::pair{true, &json_value_hash},
        std::pair{false, &colliding_hash}, std::pair{true, &colliding_hash}}) {
    std::vector<Json> docs;
    for (int i = 0; i < 400; ++i) docs.push_back(random_document(ambiguous));
    MetadataIndex index(hasher);
    for (std::size_t id = 0; id < docs.size(); ++id) {
      index.add(static_cast<InternalId>(id), docs[id]);
    }
    EXPECT_EQ(index.exact(), !ambiguous);
    for (const Filter& filter : filters) {
      const PreparedFilter plain(filter);
      const PreparedFilter indexed(filter, &index);
      for (std::size_t id = 0; id < docs.size(); ++id) {
        const bool expected = matches(filter, docs[id]);
        ASSERT_EQ(plain.matches(static_cast<InternalId>(id), &docs[id]), expected) << id;
        ASSERT_EQ(indexed.matches(static_cast<InternalId>(id), &docs[id]), expected) << id;
      }
      const auto* eq = std::get_if<Filter::Eq>(&filter.node());
      if (eq == nullptr || !is_scalar(eq->value)) continue;
      const auto listed = index.postings(eq->field, eq->value);
      for (std::size_t id = 0; id < docs.size(); ++id) {
        const bool is_listed = std::binary_search(listed.begin(), listed.end(), id);
        if (matches(filter, docs[id])) {
          EXPECT_TRUE(is_listed) << id;
        } else if (index.exact()) {
          EXPECT_FALSE(is_listed) << id;
        }
      }
    }
  }
}

// A filter reused for many searches keeps the codes its In found; they must follow the index as
// values gain codes and as an undone insertion frees a code for another value.
TEST(PreparedFilterTest, ReusedInListFollowsTheCodesTheIndexHandsOut) {
  MetadataIndex index;
  std::vector<Json> docs;
  auto add = [&](int b) {
    docs.push_back(Json{{"b", b}});
    index.add(static_cast<InternalId>(docs.size() - 1), docs.back());
  };
  std::vector<Json> listed;
  for (int b = 5; b < 25; ++b) listed.push_back(Json(b));
  const Filter filter(Filter::In{"b", listed});
  // Also the planner's view: one code for each listed value some document holds.
  auto expect_agrees = [&](const char* stage) {
    const PreparedFilter prepared(filter, &index);
    std::size_t matching = 0;
    for (std::size_t id = 0; id < docs.size(); ++id) {
      matching += matches(filter, docs[id]);
      EXPECT_EQ(prepared.matches(static_cast<InternalId>(id), &docs[id]), matches(filter, docs[id]))
          << stage << ", id " << id;
    }
    EXPECT_EQ(prepared.codes().size(), matching) << stage;
  };
  for (int b = 0; b < 10; ++b) add(b);
  expect_agrees("first search");
  add(20);
  expect_agrees("after a listed value gained a code");
  index.remove_from(10);
  docs.pop_back();
  expect_agrees("after the insertion was undone");
  add(100);  // takes the code 20 had
  expect_agrees("after the code was handed to an unlisted value");
}

}  // namespace
}  // namespace vexradb
