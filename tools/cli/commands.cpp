#include "commands.hpp"

#include <cstdint>
#include <memory>
#include <vector>

#include "data_directory.hpp"
#include "engine.hpp"
#include "filter_json.hpp"
#include "json.hpp"
#include "persistent.hpp"
#include "progress.hpp"
#include "vector_files.hpp"
#include "vector_json.hpp"

namespace vexradb::cli {
namespace {

constexpr std::size_t kImportChunk = 1000;

void write_metadata(std::ostream& out, const std::optional<Json>& metadata) {
  out << (metadata ? write_json(*metadata) : "null");
}

Config engine_config(std::uint64_t dimensions, DistanceMetric metric) {
  Config config;
  config.dimensions = dimensions;
  config.distance_metric = metric;
  return config;
}

// The engine the directory `summary` describes recovers to, read only; null when it never held a
// vector.
Result<std::unique_ptr<VectorDb>> recover(const Options& options, const DirectorySummary& summary) {
  if (!summary.dimensions) return std::unique_ptr<VectorDb>();
  return PersistentVectorDb::read_only(options.dir,
                                       engine_config(*summary.dimensions, options.metric));
}

Result<std::unique_ptr<VectorDb>> recover(const Options& options) {
  Result<DirectorySummary> summary = describe_directory(options.dir);
  if (!summary) return fail(std::move(summary).error());
  return recover(options, *summary);
}

Result<std::unique_ptr<PersistentVectorDb>> open_for_writing(const Options& options,
                                                             std::uint64_t dimensions) {
  PersistentConfig config;
  config.engine = engine_config(dimensions, options.metric);
  return PersistentVectorDb::open(options.dir, config);
}

// A directory import may create: missing, empty, or already a data directory.
Status expect_importable(const std::filesystem::path& dir) {
  std::error_code error;
  if (!std::filesystem::exists(dir, error) || std::filesystem::is_empty(dir, error)) return {};
  return expect_data_directory(dir);
}

Result<std::vector<float>> query_vector(const Options& options, const VectorDb& engine) {
  if (options.id) {
    Result<std::optional<StoredVector>> stored = engine.get(*options.id);
    if (!stored) return fail(std::move(stored).error());
    if (!*stored) return fail(errors::VectorNotFound{*options.id});
    return std::move((*stored)->vector);
  }
  Result<Json> value = parse_json(options.vector.value_or(""));
  if (!value) return fail(std::move(value).error());
  if (!value->is_array()) return fail(errors::Serialization{"--vector: expected a JSON array"});
  return vector_from_json(*value, "--vector: ");
}

}  // namespace

Status info(const Options& options, std::ostream& out) {
  Result<DirectorySummary> summary = describe_directory(options.dir);
  if (!summary) return fail(std::move(summary).error());
  Result<std::unique_ptr<VectorDb>> engine = recover(options, *summary);
  if (!engine) return fail(std::move(engine).error());
  out << "directory: " << options.dir.string() << '\n';
  if (summary->dimensions) {
    out << "dimensions: " << *summary->dimensions << '\n';
  } else {
    out << "dimensions: none yet (no vector stored)\n";
  }
  out << "metric: not stored in the directory (each client gives its own)\n";
  out << "vectors: " << (*engine ? (*engine)->len() : 0) << '\n';
  out << "snapshots: " << summary->snapshots.size() << '\n';
  std::uint64_t newest = summary->log.newest_sequence;
  for (const SnapshotSummary& snapshot : summary->snapshots) {
    out << "  " << snapshot.file.path.filename().string() << ": " << snapshot.header.vector_count
        << " vectors, up to sequence " << snapshot.header.sequence << ", " << snapshot.bytes
        << " bytes\n";
    newest = std::max(newest, snapshot.header.sequence);
  }
  out << "log: " << summary->log.records << " records, " << summary->log.bytes << " bytes\n";
  out << "newest sequence: " << newest << '\n';
  return {};
}

Result<bool> verify(const Options& options, std::ostream& out) {
  Result<std::vector<Finding>> findings = verify_directory(options.dir);
  if (!findings) return fail(std::move(findings).error());
  bool sound = true;
  for (const Finding& finding : *findings) {
    out << (finding.damage ? "damage: " : "note: ") << finding.file.string();
    if (finding.offset) out << " at offset " << *finding.offset;
    out << ": " << finding.what << '\n';
    sound = sound && !finding.damage;
  }
  out << (sound ? "sound\n" : "damaged\n");
  return sound;
}

Status dump(const Options& options, std::ostream& out) {
  Result<std::unique_ptr<VectorDb>> engine = recover(options);
  if (!engine) return fail(std::move(engine).error());
  if (!*engine) return {};
  for (const ListItem& item : (*engine)->list(0, UINT32_MAX)) {
    Result<std::optional<StoredVector>> stored = (*engine)->get(item.id.str());
    if (!stored) return fail(std::move(stored).error());
    out << "{\"id\":" << write_json(Json(item.id.str())) << ",\"vector\":";
    write_vector(out, (*stored)->vector);
    out << ",\"metadata\":";
    write_metadata(out, (*stored)->metadata);
    out << "}\n";
  }
  return {};
}

Status import_file(const Options& options, std::ostream& out) {
  if (auto ok = expect_importable(options.dir); !ok) return ok;
  Result<std::unique_ptr<VectorSource>> source = open_vector_file(options.file, options.id_prefix);
  if (!source) return fail(std::move(source).error());
  std::uint64_t dimensions = (*source)->dimensions();
  std::error_code error;
  if (std::filesystem::exists(options.dir / kWalDirectory, error)) {
    Result<DirectorySummary> summary = describe_directory(options.dir);
    if (!summary) return fail(std::move(summary).error());
    if (summary->dimensions) {
      if (dimensions != 0 && dimensions != *summary->dimensions) {
        return fail(errors::InvalidConfiguration{
            "the file's vectors have " + std::to_string(dimensions) +
            " components, the directory's " + std::to_string(*summary->dimensions)});
      }
      dimensions = *summary->dimensions;
    }
  }
  if (dimensions == 0) {
    out << "imported 0 vectors\n";
    return {};
  }
  Result<std::unique_ptr<PersistentVectorDb>> db = open_for_writing(options, dimensions);
  if (!db) return fail(std::move(db).error());
  ProgressBar progress("importing");
  std::uint64_t imported = 0;
  for (;;) {
    Result<std::vector<VectorRecord>> chunk = (*source)->next(kImportChunk);
    if (!chunk) return fail(std::move(chunk).error());
    if (chunk->empty()) break;
    const std::size_t count = chunk->size();
    if (auto ok = (*db)->upsert_batch(std::move(*chunk)); !ok) return ok;
    imported += count;
    progress.update((*source)->position(), (*source)->size(), imported);
  }
  if (auto ok = (*db)->sync(); !ok) return ok;
  out << "imported " << imported << " vectors\n";
  return {};
}

Status search(const Options& options, std::ostream& out) {
  if (options.vector.has_value() == options.id.has_value())
    return fail(errors::InvalidConfiguration{"give the query as --vector or --id, not both"});
  Result<std::unique_ptr<VectorDb>> engine = recover(options);
  if (!engine) return fail(std::move(engine).error());
  if (!*engine) return fail(errors::IndexEmpty{});
  Result<std::vector<float>> query = query_vector(options, **engine);
  if (!query) return fail(std::move(query).error());
  std::optional<Filter> filter;
  if (options.filter) {
    Result<Filter> parsed = filter_from_json(*options.filter);
    if (!parsed) return fail(std::move(parsed).error());
    filter = std::move(*parsed);
  }
  Result<std::vector<SearchHit>> hits =
      search_recovered(**engine, *query, options.k, filter ? &*filter : nullptr);
  if (!hits) return fail(std::move(hits).error());
  for (const SearchHit& hit : *hits) {
    out << "{\"id\":" << write_json(Json(hit.id.str())) << ",\"distance\":";
    write_float(out, hit.distance);
    out << ",\"metadata\":";
    write_metadata(out, hit.metadata);
    out << "}\n";
  }
  return {};
}

Status checkpoint(const Options& options, std::ostream& out) {
  Result<DirectorySummary> summary = describe_directory(options.dir);
  if (!summary) return fail(std::move(summary).error());
  if (!summary->dimensions)
    return fail(errors::InvalidConfiguration{"the directory holds no vector to checkpoint"});
  Result<std::unique_ptr<PersistentVectorDb>> db = open_for_writing(options, *summary->dimensions);
  if (!db) return fail(std::move(db).error());
  if (auto ok = (*db)->checkpoint(); !ok) return ok;
  out << "checkpoint written: " << (*db)->len() << " vectors\n";
  return {};
}

}  // namespace vexradb::cli
