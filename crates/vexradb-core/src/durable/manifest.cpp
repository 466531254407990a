#include "durable/manifest.hpp"

#include <array>
#include <utility>

#include "durable/data_directory.hpp"
#include "metadata/json.hpp"

namespace vexradb {
namespace {

constexpr std::uint64_t kManifestFormat = 1;
// Far above what this version writes; a larger file is refused before it is read into memory.
constexpr std::uint64_t kMaxManifestBytes = 4096;

constexpr std::array<std::pair<DistanceMetric, std::string_view>, 3> kMetricNames{{
    {DistanceMetric::Cosine, "cosine"},
    {DistanceMetric::Euclidean, "euclidean"},
    {DistanceMetric::DotProduct, "dot"},
}};
constexpr std::array<std::pair<Quantization, std::string_view>, 3> kEngineNames{{
    {Quantization::None, "full"},
    {Quantization::SQ8, "sq8"},
    {Quantization::Binary, "binary"},
}};

std::filesystem::path manifest_path(const std::filesystem::path& data_dir) {
  return data_dir / kManifestFileName;
}

tl::unexpected<Error> not_a_manifest(std::string reason) {
  return fail(errors::Storage{std::move(reason)});
}

// The member `name` of the manifest's object, or why it cannot be one.
Result<const Json*> manifest_member(const Json::object_t& object, std::string_view name) {
  const auto found = object.find(name);
  if (found == object.end()) return not_a_manifest("it has no \"" + std::string(name) + "\"");
  return &found->second;
}

// The value of the name that the member `name` holds, from `names`.
template <class Value, std::size_t N>
Result<Value> named_member(const Json::object_t& object, std::string_view name,
                           const std::array<std::pair<Value, std::string_view>, N>& names) {
  Result<const Json*> value = manifest_member(object, name);
  if (!value) return fail(std::move(value).error());
  if (const auto* text = (*value)->get_ptr<const std::string*>()) {
    for (const auto& [known, known_name] : names) {
      if (*text == known_name) return known;
    }
  }
  std::string expected;
  for (const auto& [known, known_name] : names)
    expected += (expected.empty() ? "" : ", ") + std::string(known_name);
  return not_a_manifest("its \"" + std::string(name) + "\" is " + write_json(**value) +
                        ", not one of " + expected);
}

Result<std::uint64_t> whole_number_member(const Json::object_t& object, std::string_view name) {
  Result<const Json*> value = manifest_member(object, name);
  if (!value) return fail(std::move(value).error());
  if (const auto* number = (*value)->get_ptr<const std::uint64_t*>()) return *number;
  return not_a_manifest("its \"" + std::string(name) + "\" is " + write_json(**value) +
                        ", not a whole number from 0 to 2^64 - 1");
}

// Whether a client ever wrote to the directory: it holds a snapshot, or a log with more than its
// header. A torn first frame counts as data: what it held cannot be known.
Result<bool> holds_written_data(const std::filesystem::path& data_dir, FileSystem& fs) {
  Result<std::vector<SnapshotFile>> snapshots =
      SnapshotManager::list_snapshots(data_dir / kSnapshotDirectory, fs);
  if (!snapshots && !is_missing_file(snapshots.error())) return fail(std::move(snapshots).error());
  if (snapshots && !snapshots->empty()) return true;
  Result<FileReader> log = FileReader::open(fs, data_dir / kWalDirectory / kWalFileName);
  if (!log && is_missing_file(log.error())) return false;
  if (!log) return fail(std::move(log).error());
  return log->remaining() > kWalHeaderSize;
}

}  // namespace

std::string_view metric_name(DistanceMetric metric) {
  for (const auto& [known, name] : kMetricNames) {
    if (known == metric) return name;
  }
  return "unknown";
}

std::optional<DistanceMetric> metric_named(std::string_view name) {
  for (const auto& [metric, known_name] : kMetricNames) {
    if (known_name == name) return metric;
  }
  return std::nullopt;
}

std::string_view engine_name(Quantization engine) {
  for (const auto& [known, name] : kEngineNames) {
    if (known == engine) return name;
  }
  return "unknown";
}

std::string manifest_text(const Manifest& manifest) {
  return "{\"format\": " + std::to_string(kManifestFormat) +
         ", \"dimensions\": " + std::to_string(manifest.dimensions) + ", \"metric\": \"" +
         std::string(metric_name(manifest.metric)) + "\", \"engine\": \"" +
         std::string(engine_name(manifest.engine)) + "\"}\n";
}

Result<Manifest> parse_manifest(std::string_view text) {
  Result<Json> parsed = parse_json(text);
  if (!parsed) {
    return not_a_manifest("it is not JSON: " +
                          std::get<errors::Serialization>(parsed.error().payload()).text);
  }
  const auto* object = parsed->get_ptr<const Json::object_t*>();
  if (object == nullptr) return not_a_manifest("it is not a JSON object");
  Result<std::uint64_t> format = whole_number_member(*object, "format");
  if (!format) return fail(std::move(format).error());
  if (*format != kManifestFormat) {
    return not_a_manifest("its format is " + std::to_string(*format) + "; this version reads " +
                          std::to_string(kManifestFormat));
  }
  Result<std::uint64_t> dimensions = whole_number_member(*object, "dimensions");
  if (!dimensions) return fail(std::move(dimensions).error());
  Result<DistanceMetric> metric = named_member(*object, "metric", kMetricNames);
  if (!metric) return fail(std::move(metric).error());
  Result<Quantization> engine = named_member(*object, "engine", kEngineNames);
  if (!engine) return fail(std::move(engine).error());
  return Manifest{*dimensions, *metric, *engine};
}

Result<std::optional<Manifest>> read_manifest(const std::filesystem::path& data_dir,
                                              FileSystem& fs) {
  const std::filesystem::path path = manifest_path(data_dir);
  Result<FileReader> file = FileReader::open(fs, path);
  if (!file && is_missing_file(file.error())) return std::optional<Manifest>();
  if (!file) return fail(std::move(file).error());
  const auto refused = [&](const std::string& reason) {
    return fail(errors::Storage{"not a data directory manifest that this version reads (" + reason +
                                "): " + path.string()});
  };
  if (file->remaining() > kMaxManifestBytes) {
    return refused("it has " + std::to_string(file->remaining()) + " bytes, more than " +
                   std::to_string(kMaxManifestBytes));
  }
  std::string text(file->remaining(), '\0');
  if (auto ok = file->read_exactly(std::as_writable_bytes(std::span(text))); !ok)
    return fail(std::move(ok).error());
  Result<Manifest> manifest = parse_manifest(text);
  if (!manifest) return refused(std::get<errors::Storage>(manifest.error().payload()).text);
  return std::optional<Manifest>(*manifest);
}

Status write_manifest(const std::filesystem::path& data_dir, const Manifest& manifest,
                      FileSystem& fs) {
  const std::string text = manifest_text(manifest);
  return replace_file(fs, manifest_path(data_dir), std::as_bytes(std::span(text))).status;
}

Status check_manifest(const Manifest& manifest, const Config& config) {
  const auto differs = [](std::string_view field, const std::string& written,
                          const std::string& asked) {
    return fail(errors::InvalidConfiguration{"the data directory was written with " +
                                             std::string(field) + " " + written +
                                             ", this client asks for " + asked});
  };
  if (manifest.dimensions != config.dimensions) {
    return differs("dimensions", std::to_string(manifest.dimensions),
                   std::to_string(config.dimensions));
  }
  if (manifest.metric != config.distance_metric) {
    return differs("metric", std::string(metric_name(manifest.metric)),
                   std::string(metric_name(config.distance_metric)));
  }
  return {};
}

Status check_directory_manifest(const std::filesystem::path& data_dir, const Config& config,
                                FileSystem& fs) {
  Result<std::optional<Manifest>> recorded = read_manifest(data_dir, fs);
  if (!recorded) return fail(std::move(recorded).error());
  if (!*recorded) return {};
  return check_manifest(**recorded, config);
}

Status check_and_record_manifest(const std::filesystem::path& data_dir, const Config& config,
                                 FileSystem& fs) {
  // The temporary file of a write that a crash interrupted; the manifest in place, if any, is
  // whole.
  if (auto ok = remove_if_present(fs, temporary_path(manifest_path(data_dir))); !ok) return ok;
  Result<std::optional<Manifest>> recorded = read_manifest(data_dir, fs);
  if (!recorded) return fail(std::move(recorded).error());
  const Manifest opening{config.dimensions, config.distance_metric, config.quantization};
  if (*recorded) {
    if (auto ok = check_manifest(**recorded, config); !ok) return ok;
    if ((*recorded)->engine == opening.engine) return {};
    return write_manifest(data_dir, opening, fs);
  }
  Result<bool> written = holds_written_data(data_dir, fs);
  if (!written) return fail(std::move(written).error());
  // Written before manifests existed: the metric it was built with cannot be known.
  if (*written) return {};
  return write_manifest(data_dir, opening, fs);
}

}  // namespace vexradb
