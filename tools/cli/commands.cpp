#include "commands.hpp"

#include <cstdint>
#include <memory>
#include <vector>

#include "base/utf8.hpp"
#include "converters.hpp"
#include "durable/data_directory.hpp"
#include "durable/manifest.hpp"
#include "durable/persistent.hpp"
#include "engine/engine.hpp"
#include "metadata/filter_json.hpp"
#include "metadata/json.hpp"
#include "progress.hpp"
#include "vector_files.hpp"
#include "vector_json.hpp"

namespace vexradb::cli {
namespace {

// How many records go by between two updates of a progress bar.
constexpr std::uint64_t kProgressStep = 1000;

void write_metadata(std::ostream& out, const std::optional<Json>& metadata) {
  out << (metadata ? write_json(*metadata) : "null");
}

Config engine_config(std::uint64_t dimensions, DistanceMetric metric) {
  Config config;
  config.dimensions = dimensions;
  config.distance_metric = metric;
  return config;
}

// The metric given, else the one the directory records, else cosine.
DistanceMetric metric_for(const Options& options, const std::optional<Manifest>& manifest) {
  if (options.metric) return *options.metric;
  return manifest ? manifest->metric : DistanceMetric::Cosine;
}

// The engine the directory `summary` describes recovers to, read only; null when it never held a
// vector and has no manifest.
Result<std::unique_ptr<VectorDb>> recover(const Options& options, const DirectorySummary& summary) {
  if (!summary.dimensions) return std::unique_ptr<VectorDb>();
  return read_only_engine(
      options.dir, engine_config(*summary.dimensions, metric_for(options, summary.manifest)));
}

Result<std::unique_ptr<VectorDb>> recover(const Options& options) {
  Result<DirectorySummary> summary = describe_directory(options.dir);
  if (!summary) return fail(std::move(summary).error());
  return recover(options, *summary);
}

Result<std::unique_ptr<PersistentVectorDb>> open_for_writing(const Options& options,
                                                             std::uint64_t dimensions,
                                                             DistanceMetric metric) {
  PersistentConfig config;
  config.engine = engine_config(dimensions, metric);
  return PersistentVectorDb::open(options.dir, config);
}

// How `info` names an engine.
std::string_view engine_label(Quantization engine) {
  return engine == Quantization::None ? "full precision" : engine_name(engine);
}

// The directory an import writes to: missing, empty, or already a data directory.
struct ImportTarget {
  std::filesystem::path dir;
  // Missing or empty: an import that stores nothing takes it back to how it was.
  bool fresh = false;
  // The outermost of `dir` and its ancestors that the import creates; empty when `dir` exists.
  std::filesystem::path created;
};

Result<ImportTarget> import_target(const std::filesystem::path& dir) {
  std::error_code error;
  if (std::filesystem::exists(dir, error)) {
    if (std::filesystem::is_empty(dir, error)) return ImportTarget{dir, true, {}};
    if (auto ok = expect_data_directory(dir); !ok) return fail(std::move(ok).error());
    return ImportTarget{dir, false, {}};
  }
  std::filesystem::path created = dir.lexically_normal();
  if (!created.has_filename()) created = created.parent_path();  // a trailing separator
  while (created.has_parent_path() && !std::filesystem::exists(created.parent_path(), error))
    created = created.parent_path();
  return ImportTarget{dir, true, created};
}

// After an import that stored nothing, so that it leaves no empty directory behind.
void restore(const ImportTarget& target) {
  if (!target.fresh) return;
  // Best effort: what the caller reports is the import's failure, not this clean-up's.
  std::error_code ignored;
  if (!target.created.empty()) {
    std::filesystem::remove_all(target.created, ignored);
    return;
  }
  std::vector<std::filesystem::path> added;
  for (auto entry = std::filesystem::directory_iterator(target.dir, ignored);
       entry != std::filesystem::directory_iterator(); entry.increment(ignored))
    added.push_back(entry->path());
  for (const std::filesystem::path& path : added) std::filesystem::remove_all(path, ignored);
}

Result<std::unique_ptr<VectorSource>> open_source(const Options& options) {
  return open_vector_file(options.file, options.id_prefix);
}

// Reads the whole file, so that a fault anywhere in it is reported before anything is stored;
// gives how many records it holds. The reader refuses whatever the engine would (ids and
// metadata strings that are not UTF-8, numbers out of range, vectors of differing lengths), so
// after this only a failure of the directory itself can stop the import.
Result<std::uint64_t> count_records(VectorSource& source) {
  ProgressBar progress("checking");
  for (std::uint64_t records = 0;; ++records) {
    Result<std::optional<VectorRecord>> record = source.next();
    if (!record) return fail(std::move(record).error());
    if (!*record) return records;
    if (records % kProgressStep == 0) progress.update(source.position(), source.size(), records);
  }
}

// How far storing a file came: `records` stored, then what stopped it, if anything did.
struct Stored {
  std::uint64_t records = 0;
  std::optional<std::string> failure;
};

// Record by record, so that a failure can say exactly how many records were stored.
Stored store_records(PersistentVectorDb& db, VectorSource& source,
                     const std::filesystem::path& file) {
  ProgressBar progress("importing");
  Stored stored;
  for (;; ++stored.records) {
    Result<std::optional<VectorRecord>> record = source.next();
    if (!record) {
      // The file changed after it was checked.
      stored.failure = ffi::to_vexra_error(record.error()).message;
      return stored;
    }
    if (!*record) return stored;
    VectorRecord& entry = **record;
    if (auto ok = db.upsert(entry.id, entry.vector, std::move(entry.metadata)); !ok) {
      stored.failure = source.where() + " of " + file.filename().string() +
                       " could not be stored: " + ffi::to_vexra_error(ok.error()).message;
      return stored;
    }
    if (stored.records % kProgressStep == 0)
      progress.update(source.position(), source.size(), stored.records);
  }
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
  if (summary->manifest) {
    out << "metric: " << metric_name(summary->manifest->metric) << '\n';
    out << "last opened as: " << engine_label(summary->manifest->engine) << '\n';
  } else {
    out << "metric: not stored in the directory (each client gives its own)\n";
    out << "last opened as: not stored in the directory\n";
  }
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

// The whole file is read and checked before anything is stored, so that a fault in it leaves
// the directory as it was.
Status import_file(const Options& options, std::ostream& out) {
  Result<ImportTarget> target = import_target(options.dir);
  if (!target) return fail(std::move(target).error());
  if (auto bad = utf8_error(options.id_prefix))
    return fail(errors::Serialization{"--id-prefix: " + *bad});
  Result<std::unique_ptr<VectorSource>> checked = open_source(options);
  if (!checked) return fail(std::move(checked).error());
  Result<std::uint64_t> records = count_records(**checked);
  if (!records) return fail(std::move(records).error());
  std::uint64_t dimensions = (*checked)->dimensions();
  DistanceMetric metric = metric_for(options, std::nullopt);
  if (!target->fresh) {
    Result<DirectorySummary> summary = describe_directory(options.dir);
    if (!summary) return fail(std::move(summary).error());
    metric = metric_for(options, summary->manifest);
    if (summary->dimensions) {
      if (dimensions != 0 && dimensions != *summary->dimensions) {
        return fail(errors::InvalidConfiguration{
            "the file's vectors have " + std::to_string(dimensions) +
            " components, the directory's " + std::to_string(*summary->dimensions)});
      }
      dimensions = *summary->dimensions;
    }
  }
  if (*records == 0) {
    out << "imported 0 vectors\n";
    return {};
  }

  Result<std::unique_ptr<VectorSource>> source = open_source(options);
  if (!source) return fail(std::move(source).error());
  Result<std::unique_ptr<PersistentVectorDb>> db = open_for_writing(options, dimensions, metric);
  if (!db) {
    restore(*target);
    return fail(std::move(db).error());
  }
  const Stored stored = store_records(**db, **source, options.file);
  if (stored.failure) {
    if (stored.records == 0) {
      db->reset();  // closes the directory, so that it can be removed
      restore(*target);
    } else {
      // Best effort, so that the records reported stored outlast a power loss; the failure
      // reported is the one that stopped the import.
      (void)(*db)->sync();
    }
    return fail(errors::Storage{"import stopped after storing " + std::to_string(stored.records) +
                                " of the file's " + std::to_string(*records) +
                                " vectors: " + *stored.failure});
  }
  if (auto ok = (*db)->sync(); !ok) return ok;
  out << "imported " << stored.records << " vectors\n";
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
  Result<std::unique_ptr<PersistentVectorDb>> db =
      open_for_writing(options, *summary->dimensions, metric_for(options, summary->manifest));
  if (!db) return fail(std::move(db).error());
  if (auto ok = (*db)->checkpoint(); !ok) return ok;
  out << "checkpoint written: " << (*db)->len() << " vectors\n";
  return {};
}

}  // namespace vexradb::cli
