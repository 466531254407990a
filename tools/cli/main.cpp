// `vexradb`: looks into, checks and loads a data directory from a shell.
#include <CLI/CLI.hpp>
#include <iostream>
#include <map>

#include "commands.hpp"
#include "converters.hpp"

namespace {

using namespace vexradb;

// Exit statuses: 0 done (verify: sound), 1 verify found damage, 2 the command failed.
constexpr int kDamaged = 1;
constexpr int kFailed = 2;

int report(const Error& error) {
  std::cerr << "vexradb: " << ffi::to_vexra_error(error).message << '\n';
  return kFailed;
}

int run(const Status& status) { return status ? 0 : report(status.error()); }

void add_dir(CLI::App& command, cli::Options& options) {
  command.add_option("DIR", options.dir, "the data directory")->required();
}

void add_metric(CLI::App& command, cli::Options& options) {
  const std::map<std::string, DistanceMetric> metrics{{"cosine", DistanceMetric::Cosine},
                                                      {"euclidean", DistanceMetric::Euclidean},
                                                      {"dot", DistanceMetric::DotProduct}};
  command
      .add_option("--metric", options.metric,
                  "the metric the directory's clients use (not stored in it; default cosine)")
      ->transform(CLI::CheckedTransformer(metrics, CLI::ignore_case));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Looks into, checks and loads a VexraDB data directory."};
  app.require_subcommand(1);
  cli::Options options;

  CLI::App* info = app.add_subcommand("info", "dimension, vectors, snapshots and log of DIR");
  add_dir(*info, options);
  CLI::App* verify =
      app.add_subcommand("verify", "read every snapshot and log frame; exit 1 on damage");
  add_dir(*verify, options);
  CLI::App* dump = app.add_subcommand("dump", "every live vector as JSON Lines");
  add_dir(*dump, options);
  CLI::App* import =
      app.add_subcommand("import", "upsert the vectors of a .npy, .fvecs or .jsonl file");
  add_dir(*import, options);
  import->add_option("FILE", options.file, "the vectors")->required()->check(CLI::ExistingFile);
  import->add_option("--id-prefix", options.id_prefix,
                     "ids of .npy and .fvecs rows: this prefix and the row number");
  add_metric(*import, options);
  CLI::App* search = app.add_subcommand("search", "the k nearest neighbours, as JSON Lines");
  add_dir(*search, options);
  search->add_option("--vector", options.vector, "the query as a JSON array");
  search->add_option("--id", options.id, "or the stored vector of this id");
  search->add_option("-k", options.k, "how many neighbours (default 10)");
  search->add_option("--filter", options.filter,
                     R"(a filter in JSON, e.g. {"field":"price","lt":100})");
  add_metric(*search, options);
  CLI::App* checkpoint = app.add_subcommand("checkpoint", "write a snapshot, start a fresh log");
  add_dir(*checkpoint, options);
  add_metric(*checkpoint, options);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kFailed;
  }

  if (*verify) {
    const Result<bool> sound = cli::verify(options, std::cout);
    if (!sound) return report(sound.error());
    return *sound ? 0 : kDamaged;
  }
  if (*info) return run(cli::info(options, std::cout));
  if (*dump) return run(cli::dump(options, std::cout));
  if (*import) return run(cli::import_file(options, std::cout));
  if (*search) return run(cli::search(options, std::cout));
  return run(cli::checkpoint(options, std::cout));
}
