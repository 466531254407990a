// The keyword-search extensions: configuring the keyword index, keyword search and hybrid
// search. Options come as JSON text; replies follow the wire conventions of the search reply.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "export.hpp"
#include "filter_cache.hpp"
#include "metadata/json.hpp"
#include "method_frame.hpp"
#include "vexradb_bindings.h"

namespace vexradb::ffi {
namespace {

Outcome<void> bad_options(std::string_view what, std::string text) {
  return tl::unexpected(
      to_vexra_error(errors::Serialization{std::string(what) + ": " + std::move(text)}));
}

// Reads the number at `key` of `object` into `out` when present.
Outcome<void> read_number(const Json& object, std::string_view what, const char* key, double& out) {
  const auto found = object.find(key);
  if (found == object.end()) return {};
  if (!found->is_number()) return bad_options(what, std::string(key) + " must be a number");
  out = found->get<double>();
  return {};
}

// Parses `text` as one JSON object whose members are all among `keys`.
Outcome<Json> options_object(std::string_view what, std::string_view text,
                             std::initializer_list<std::string_view> keys) {
  Result<Json> parsed = parse_json(text);
  if (!parsed) return tl::unexpected(to_vexra_error(parsed.error()));
  if (!parsed->is_object()) {
    return tl::unexpected(
        to_vexra_error(errors::Serialization{std::string(what) + ": must be a JSON object"}));
  }
  for (const auto& [key, value] : parsed->items()) {
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
      return tl::unexpected(
          to_vexra_error(errors::Serialization{std::string(what) + ": unknown member " + key}));
    }
  }
  return std::move(*parsed);
}

// {"fields": ["title", ...], "language": "english" or null, "k1": 1.2, "b": 0.75}
Outcome<TextIndexOptions> parse_text_options(std::string_view text) {
  constexpr std::string_view what = "text index options";
  Outcome<Json> object = options_object(what, text, {"fields", "language", "k1", "b"});
  if (!object) return tl::unexpected(std::move(object).error());
  TextIndexOptions options;
  const auto fields = object->find("fields");
  if (fields == object->end() || !fields->is_array()) {
    return tl::unexpected(bad_options(what, "fields must be an array of strings").error());
  }
  for (const Json& field : *fields) {
    if (!field.is_string()) {
      return tl::unexpected(bad_options(what, "fields must be an array of strings").error());
    }
    options.fields.push_back(field.get<std::string>());
  }
  const auto language = object->find("language");
  if (language != object->end() && !language->is_null()) {
    if (!language->is_string()) {
      return tl::unexpected(bad_options(what, "language must be a string or null").error());
    }
    options.language = language->get<std::string>();
  }
  for (const auto& [key, out] : {std::pair{"k1", &options.k1}, std::pair{"b", &options.b}}) {
    if (auto ok = read_number(*object, what, key, *out); !ok) return tl::unexpected(ok.error());
  }
  return options;
}

// {"depth": 50, "constant": 60, "text_weight": 0.5}, each optional; null text: the defaults.
Outcome<FusionOptions> parse_fusion(const std::optional<std::string>& text) {
  FusionOptions fusion;
  if (!text) return fusion;
  constexpr std::string_view what = "fusion options";
  Outcome<Json> object = options_object(what, *text, {"depth", "constant", "text_weight"});
  if (!object) return tl::unexpected(std::move(object).error());
  double depth = static_cast<double>(fusion.depth);
  for (const auto& [key, out] :
       {std::pair{"depth", &depth}, std::pair{"constant", &fusion.constant},
        std::pair{"text_weight", &fusion.text_weight}}) {
    if (auto ok = read_number(*object, what, key, *out); !ok) return tl::unexpected(ok.error());
  }
  if (!(depth >= 1 && depth <= static_cast<double>(kMaxFusionDepth) &&
        depth == std::floor(depth))) {
    return tl::unexpected(to_vexra_error(errors::InvalidParameter{
        std::to_string(depth), "fusion depth", "must be a whole number from 1 to 10000"}));
  }
  fusion.depth = static_cast<std::uint64_t>(depth);
  return fusion;
}

void write_f64(WireWriter& writer, double value) {
  writer.write_u64(std::bit_cast<std::uint64_t>(value));
}

void lower_metadata(WireWriter& writer, const std::optional<Json>& metadata) {
  const std::optional<std::string> text = metadata_text(metadata);
  writer.write_option_tag(text.has_value());
  if (text) writer.write_string(*text);
}

ByteBuffer lower_text_hits(const std::vector<TextHit>& hits) {
  WireWriter writer;
  writer.write_count(hits.size());
  for (const TextHit& hit : hits) {
    writer.write_string(hit.id.str());
    write_f64(writer, hit.score);
    lower_metadata(writer, hit.metadata);
  }
  return std::move(writer).finish();
}

ByteBuffer lower_hybrid_hits(const std::vector<HybridHit>& hits) {
  WireWriter writer;
  writer.write_count(hits.size());
  for (const HybridHit& hit : hits) {
    writer.write_string(hit.id.str());
    write_f64(writer, hit.score);
    writer.write_option_tag(hit.vector_rank.has_value());
    if (hit.vector_rank) {
      writer.write_u32(*hit.vector_rank);
      writer.write_f32(*hit.distance);
    }
    writer.write_option_tag(hit.text_rank.has_value());
    if (hit.text_rank) {
      writer.write_u32(*hit.text_rank);
      write_f64(writer, *hit.text_score);
    }
    lower_metadata(writer, hit.metadata);
  }
  return std::move(writer).finish();
}

// The optional JSON filter of a keyword or hybrid search (see filter_cache.hpp).
Outcome<std::shared_ptr<const Filter>> filter_of(BufferArg& arg) {
  const ByteBuffer bytes = arg.take();
  return optional_json_filter("filter_json", bytes.bytes());
}

Outcome<ByteBuffer> keyword_reply(const VexraClient& client, std::string_view text, std::uint32_t k,
                                  BufferArg& filter_arg) {
  const Outcome<std::shared_ptr<const Filter>> filter = filter_of(filter_arg);
  if (!filter) return tl::unexpected(filter.error());
  return lowered(client.text_search(text, k, filter->get()), lower_text_hits);
}

Outcome<ByteBuffer> hybrid_reply(const VexraClient& client, std::span<const float> query,
                                 std::string_view text, std::uint32_t k, BufferArg& filter_arg,
                                 const Outcome<FusionOptions>& fusion) {
  const Outcome<std::shared_ptr<const Filter>> filter = filter_of(filter_arg);
  if (!filter) return tl::unexpected(filter.error());
  if (!fusion) return tl::unexpected(fusion.error());
  return lowered(client.hybrid_search(query, text, k, filter->get(), *fusion), lower_hybrid_hits);
}

}  // namespace
}  // namespace vexradb::ffi

using namespace vexradb::ffi;

extern "C" {

VEXRA_EXPORT void vexradb_ext_set_text_index(void* handle, RustBuffer options_json,
                                             CallStatus* status) {
  BufferArg options_arg(options_json);
  call_method(handle, status, [&](VexraClient& client) -> Outcome<void> {
    Outcome<vexradb::TextIndexOptions> options =
        parse_text_options(lift_string_arg("options_json", options_arg));
    if (!options) return tl::unexpected(std::move(options).error());
    return client.set_text_index(*options);
  });
}

VEXRA_EXPORT RustBuffer vexradb_ext_text_search(void* handle, RustBuffer text, uint32_t k,
                                                RustBuffer filter_json, CallStatus* status) {
  BufferArg text_arg(text), filter_arg(filter_json);
  return call_method(handle, status, [&](VexraClient& client) {
    const std::string query = lift_string_arg("text", text_arg);
    return keyword_reply(client, query, k, filter_arg);
  });
}

VEXRA_EXPORT RustBuffer vexradb_ext_hybrid_search(void* handle, RustBuffer query, RustBuffer text,
                                                  uint32_t k, RustBuffer filter_json,
                                                  RustBuffer fusion_json, CallStatus* status) {
  BufferArg query_arg(query), text_arg(text), filter_arg(filter_json), fusion_arg(fusion_json);
  return call_method(handle, status, [&](VexraClient& client) -> Outcome<ByteBuffer> {
    const std::vector<float> values =
        lift_arg("query", query_arg, [](WireReader& reader) { return reader.read_f32_sequence(); });
    const std::string query_text = lift_string_arg("text", text_arg);
    return hybrid_reply(client, values, query_text, k, filter_arg,
                        parse_fusion(lift_arg("fusion_json", fusion_arg, lift_optional_string)));
  });
}

}  // extern "C"
