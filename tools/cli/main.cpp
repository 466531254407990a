// `vexradb`: looks into, checks and loads a data directory from a shell.
#include <CLI/CLI.hpp>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <exception>
#include <iostream>
#include <map>
#include <new>
#include <string>

#include "commands.hpp"
#include "converters.hpp"
#include "durable/manifest.hpp"

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

// CLI11 reads integers with strtoull in base 0, which takes "-1" for 2^64 - 1, "010" for 8 and
// saturates what overflows: accept decimal digits alone, in [min, max], and hand on their plain
// form.
CLI::Validator whole_number(std::uint64_t min, std::uint64_t max) {
  const std::string range = std::to_string(min) + " to " + std::to_string(max);
  return CLI::Validator(
      [min, max, range](std::string& text) -> std::string {
        std::uint64_t value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (error != std::errc() || stop != end || value < min || value > max)
          return "expected a whole number from " + range + ", not " + text;
        text = std::to_string(value);
        return {};
      },
      "INT in " + range);
}

void add_dir(CLI::App& command, cli::Options& options) {
  command.add_option("DIR", options.dir, "the data directory")->required();
}

// The metric by name, in any letter case. (CLI11's enumeration transformer would print the
// values of a one-byte enumeration as raw bytes in the help and in its errors.)
void add_metric(CLI::App& command, cli::Options& options) {
  std::string names;
  for (const DistanceMetric metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct})
    names += (names.empty() ? "" : "|") + std::string(metric_name(metric));
  const CLI::Validator known(
      [names](std::string& text) -> std::string {
        std::string lower = text;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!metric_named(lower)) return "expected one of " + names + ", not " + text;
        text = lower;
        return {};
      },
      names);
  command
      .add_option_function<std::string>(
          "--metric", [&options](const std::string& name) { options.metric = metric_named(name); },
          "the metric the directory's clients use (default: the one it records, else cosine)")
      ->transform(known);
}

int run_verb(const std::string& verb, const cli::Options& options) {
  if (verb == "verify") {
    const Result<bool> sound = cli::verify(options, std::cout);
    if (!sound) return report(sound.error());
    return *sound ? 0 : kDamaged;
  }
  if (verb == "info") return run(cli::info(options, std::cout));
  if (verb == "dump") return run(cli::dump(options, std::cout));
  if (verb == "import") return run(cli::import_file(options, std::cout));
  if (verb == "search") return run(cli::search(options, std::cout));
  return run(cli::checkpoint(options, std::cout));
}

int run_tool(int argc, char** argv) {
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
  // The exported interface's search takes a 32-bit k.
  search->add_option("-k", options.k, "how many neighbours (default 10)")
      ->transform(whole_number(1, UINT32_MAX));
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
  return run_verb(app.get_subcommands().front()->get_name(), options);
}

}  // namespace

int main(int argc, char** argv) {
  // Failures come back as values; what still throws (running out of memory, mostly) ends the
  // tool with a message and its own status rather than an abort.
  try {
    return run_tool(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "vexradb: out of memory\n";
  } catch (const std::exception& error) {
    std::cerr << "vexradb: unexpected failure: " << error.what() << '\n';
  }
  return kFailed;
}
