// Kills a writer process with SIGKILL at random moments (between changes, inside them, inside
// checkpoints, while it recovers) and checks after each kill that the data directory reopens
// with every acknowledged change, the change in flight whole or absent (a batch upsert: a prefix
// of its entries, which this engine applies one by one), nothing else, and correct searches.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crash_workload.hpp"
#include "files/file_system.hpp"
#include "kernels/distance.hpp"
#include "program_path.hpp"
#include "temp_dir.hpp"

extern char** environ;

namespace vexradb {
namespace {

using crash::Op;
using crash::OpKind;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

constexpr std::uint64_t kStreamSeed = 0x5EEDC0FFEE;
constexpr std::uint32_t kKillSeed = 20240611;
constexpr int kRounds = 60;
constexpr std::size_t kSearchK = 10;
constexpr auto kStallTimeout = std::chrono::seconds(60);
// Kept small so that sanitizer builds, whose writer is many times slower, stay quick.
constexpr std::uint64_t kMaxAcksPerRound = 60;

// ---- The model: what the directory must hold ----------------------------------------------

using State = std::optional<StoredVector>;  // nothing: the id is not live

// One id written or deleted by an operation, in the order the engine applies them.
struct Step {
  std::string id;
  State after;
};

// The states an operation passes through, one logged record each: a kill during its write keeps
// a prefix of them. An upsert logs a deletion before its insertion, so its id may come back
// deleted.
std::vector<Step> steps_of(const Op& op) {
  const bool upserts = op.kind == OpKind::Upsert || op.kind == OpKind::UpsertBatch;
  std::vector<Step> steps;
  for (const BatchEntry& e : op.entries) {
    if (upserts) steps.push_back({e.id.str(), std::nullopt});
    steps.push_back({e.id.str(), StoredVector{e.vector, e.metadata}});
  }
  if (op.kind == OpKind::Remove) steps.push_back({op.removed, std::nullopt});
  return steps;
}

class Model {
 public:
  void apply(const Step& step) {
    known_.insert(step.id);
    if (step.after) {
      live_[step.id] = *step.after;
    } else {
      live_.erase(step.id);
    }
  }
  void apply(const Op& op) {
    for (const Step& step : steps_of(op)) apply(step);
  }

  State state_of(const std::string& id) const {
    const auto found = live_.find(id);
    if (found == live_.end()) return std::nullopt;
    return found->second;
  }
  const std::map<std::string, StoredVector>& live() const { return live_; }
  // Every id any applied operation named, live or not.
  const std::set<std::string>& known() const { return known_; }

 private:
  std::map<std::string, StoredVector> live_;
  std::set<std::string> known_;
};

bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

bool same_metadata(const std::optional<Json>& a, const std::optional<Json>& b) {
  return a.has_value() == b.has_value() && (!a || json_equal(*a, *b));
}

bool same_state(const State& a, const State& b) {
  if (!a || !b) return a.has_value() == b.has_value();
  return same_bits(a->vector, b->vector) && same_metadata(a->metadata, b->metadata);
}

std::string describe(const State& state) {
  if (!state) return "absent";
  std::string text = "vector (" + std::to_string(state->vector.front()) + ", ...) with ";
  return text += state->metadata ? write_json(*state->metadata) : "no metadata";
}

::testing::AssertionResult holds(const PersistentVectorDb& db, const std::string& id,
                                 const State& expected) {
  const Result<std::optional<StoredVector>> got = db.get(id);
  if (!got) {
    return ::testing::AssertionFailure()
           << id << ": get failed with kind " << static_cast<int>(got.error().kind());
  }
  if (same_state(*got, expected)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << id << " holds " << describe(*got) << "; expected " << describe(expected);
}

// For each id of the operation: what the directory holds, what it held before, what the
// operation writes.
std::string describe_ids(const PersistentVectorDb& db, const Model& model,
                         const std::vector<Step>& steps) {
  std::string text;
  for (const Step& step : steps) {
    const Result<std::optional<StoredVector>> got = db.get(step.id);
    text += "\n  " + step.id + ": holds " + (got ? describe(*got) : "an error") +
            "; before: " + describe(model.state_of(step.id)) + "; written: " + describe(step.after);
  }
  return text;
}

// Whether the whole operation would leave the model different (a deletion of an id that is not
// live, for one, does not).
bool changes_anything(const Model& model, const std::vector<Step>& steps) {
  std::map<std::string, State> after;
  for (const Step& step : steps) after[step.id] = step.after;
  return std::any_of(after.begin(), after.end(), [&](const auto& id_state) {
    return !same_state(model.state_of(id_state.first), id_state.second);
  });
}

// How many steps of the operation in flight at the kill the directory kept: all or none, or
// for a batch any prefix. Nothing when it holds any other state of the ids the operation names.
std::optional<std::size_t> kept_steps(const PersistentVectorDb& db, const Model& model,
                                      const std::vector<Step>& steps) {
  std::map<std::string, State> expected;
  for (const Step& step : steps) expected.emplace(step.id, model.state_of(step.id));
  const auto matches = [&] {
    return std::all_of(expected.begin(), expected.end(), [&](const auto& id_state) {
      return holds(db, id_state.first, id_state.second);
    });
  };
  if (matches()) return 0;
  for (std::size_t k = 0; k < steps.size(); ++k) {
    expected[steps[k].id] = steps[k].after;
    if (matches()) return k + 1;
  }
  return std::nullopt;
}

void expect_same_contents(const PersistentVectorDb& db, const Model& model) {
  std::vector<std::string> wrong;
  for (const std::string& id : model.known()) {
    if (::testing::AssertionResult ok = holds(db, id, model.state_of(id)); !ok)
      wrong.push_back(ok.message());
  }
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " ids differ, first: " << wrong.front();
  EXPECT_EQ(db.len(), model.live().size());

  std::set<std::string> listed;
  for (const ListItem& item : db.list(0, UINT32_MAX)) {
    EXPECT_TRUE(listed.insert(item.id.str()).second) << item.id.str() << " listed twice";
    EXPECT_TRUE(model.live().contains(item.id.str())) << item.id.str() << " should not exist";
  }
  EXPECT_EQ(listed.size(), model.live().size());
}

struct Recall {
  std::size_t found = 0;
  std::size_t wanted = 0;
};

// Searches return live ids only, nearest first, with their exact distances and metadata; how
// many of the true nearest they find is added to `recall`.
void check_search(const PersistentVectorDb& db, const Model& model, std::span<const float> query,
                  Recall& recall) {
  const Result<std::vector<SearchHit>> hits = db.search(query, kSearchK, nullptr);
  ASSERT_TRUE(hits) << "search failed with kind " << static_cast<int>(hits.error().kind());
  const std::size_t k = std::min(kSearchK, model.live().size());
  EXPECT_EQ(hits->size(), k);

  std::vector<float> exact;
  for (const auto& [id, stored] : model.live())
    exact.push_back(distance(DistanceMetric::Euclidean, query, stored.vector));
  std::nth_element(exact.begin(), exact.begin() + static_cast<std::ptrdiff_t>(k - 1), exact.end());
  const float kth_nearest = exact[k - 1];

  std::set<std::string> seen;
  float previous = 0.0f;
  for (const SearchHit& hit : *hits) {
    const std::string& id = hit.id.str();
    EXPECT_TRUE(seen.insert(id).second) << id << " returned twice";
    EXPECT_GE(hit.distance, previous) << "hits out of order at " << id;
    previous = hit.distance;
    const auto stored = model.live().find(id);
    if (stored == model.live().end()) {
      ADD_FAILURE() << "search returned " << id << ", which is not live";
      continue;
    }
    EXPECT_EQ(hit.distance, distance(DistanceMetric::Euclidean, query, stored->second.vector))
        << id;
    EXPECT_TRUE(same_metadata(hit.metadata, stored->second.metadata)) << id;
    if (hit.distance <= kth_nearest) ++recall.found;
  }
  recall.wanted += k;
}

void check_searches(const PersistentVectorDb& db, const Model& model, std::mt19937& random,
                    Recall& recall) {
  ASSERT_FALSE(model.live().empty());
  std::uniform_real_distribution<float> component(-1.0f, 1.0f);
  for (int q = 0; q < 4; ++q) {
    std::vector<float> query(crash::kDimensions);
    for (float& x : query) x = component(random);
    check_search(db, model, query, recall);
  }
  // A stored vector as the query: its own nearest neighbour, at distance zero.
  auto live = model.live().begin();
  std::advance(live,
               std::uniform_int_distribution<std::size_t>(0, model.live().size() - 1)(random));
  check_search(db, model, live->second.vector, recall);
}

// ---- The writer and what it leaves behind ---------------------------------------------------

// The writer with its standard output on a pipe; killed and reaped when the object goes away.
class WriterProcess {
 public:
  static tl::expected<std::unique_ptr<WriterProcess>, std::string> start(
      const std::filesystem::path& dir, std::uint64_t first_op) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return tl::unexpected(std::string("pipe2 failed"));
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copy, so only standard output reaches the writer.
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    std::string emulator = VEXRA_CRASH_WRITER_EMULATOR;
    // Built beside this test program.
    std::string program = testing_support::beside_this_program(VEXRA_CRASH_WRITER);
    std::string dir_arg = dir.string();
    std::string first_arg = std::to_string(first_op);
    std::string seed_arg = std::to_string(kStreamSeed);
    std::vector<char*> argv = {program.data(), dir_arg.data(), first_arg.data(), seed_arg.data(),
                               nullptr};
    if (!emulator.empty()) argv.insert(argv.begin(), emulator.data());
    pid_t pid = -1;
    // The emulator is found on PATH; killing it kills the writer it runs.
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
      return tl::unexpected("posix_spawn failed: " + std::string(std::strerror(spawned)));
    return std::unique_ptr<WriterProcess>(new WriterProcess(pid, std::move(read_end)));
  }

  WriterProcess(const WriterProcess&) = delete;
  WriterProcess& operator=(const WriterProcess&) = delete;
  ~WriterProcess() {
    if (pid_ > 0) kill_and_reap();  // a test that failed half-way leaves no writer behind
  }

  int output() const { return output_.get(); }
  bool closed() const { return closed_; }

  // One read of the pipe; the end of the writer's output sets closed().
  void read_some() {
    char buffer[4096];
    const ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
    if (got > 0) {
      pending_.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      closed_ = true;
    }
  }

  std::optional<std::uint64_t> pop_ack() {
    if (pending_.size() < sizeof(std::uint64_t)) return std::nullopt;
    std::uint64_t ack;
    std::memcpy(&ack, pending_.data(), sizeof ack);
    pending_.erase(0, sizeof ack);
    return ack;
  }

  // Kills the writer with SIGKILL and returns its wait status.
  int kill_and_reap() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  WriterProcess(pid_t pid, UniqueFd output) : pid_(pid), output_(std::move(output)) {}

  pid_t pid_;
  UniqueFd output_;
  std::string pending_;
  bool closed_ = false;
};

// The files of a checkpoint as they appear, in this order: the snapshot's temporary file, the
// snapshot under its name, the fresh log's temporary file, the fresh log under its name.
enum class FileEvent { SnapshotStarted, SnapshotInPlace, LogStarted, LogReplaced };
constexpr std::size_t kFileEvents = 4;

class CheckpointWatch {
 public:
  explicit CheckpointWatch(const std::filesystem::path& dir)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    for (const char* sub : {"snapshots", "wal"}) {
      if (::inotify_add_watch(fd_.get(), (dir / sub).c_str(), IN_CREATE | IN_MOVED_TO) < 0)
        fd_.reset();
    }
  }

  bool watching() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }

  // The events that arrived since the last call.
  std::vector<FileEvent> read_events() {
    alignas(inotify_event) char buffer[4096];
    std::vector<FileEvent> events;
    ssize_t got;
    while ((got = ::read(fd_.get(), buffer, sizeof buffer)) > 0) {
      for (const char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0) {
          if (std::optional<FileEvent> seen = classify(event->mask, event->name))
            events.push_back(*seen);
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
    return events;
  }

 private:
  static std::optional<FileEvent> classify(std::uint32_t mask, std::string_view name) {
    if ((mask & IN_CREATE) != 0 && name.ends_with(".snap.tmp")) return FileEvent::SnapshotStarted;
    if ((mask & IN_MOVED_TO) != 0 && name.ends_with(".snap")) return FileEvent::SnapshotInPlace;
    if ((mask & IN_CREATE) != 0 && name.ends_with(".wal.tmp")) return FileEvent::LogStarted;
    if ((mask & IN_MOVED_TO) != 0 && name == kWalFileName) return FileEvent::LogReplaced;
    return std::nullopt;
  }

  UniqueFd fd_;
};

// How long the writer takes to come up, to checkpoint, to write a snapshot and to replace the log
// after it, as last seen; kills aimed at each are spread over that time.
struct Timings {
  Micros startup{50'000};
  Micros checkpoint{20'000};
  Micros snapshot_write{10'000};
  Micros log_switch{3'000};
};

// What the test has seen of one writer so far.
struct Progress {
  std::uint64_t first = 0;  // the operation the writer started at
  Clock::time_point started;
  std::uint64_t acked = 0;
  std::array<int, kFileEvents> events{};
  Clock::time_point last_ack;
  std::array<Clock::time_point, kFileEvents> last_event{};
  std::optional<FileEvent> latest;  // the last checkpoint file seen
};

Micros since(Clock::time_point then, Clock::time_point now) {
  return std::chrono::duration_cast<Micros>(now - then);
}

void note_ack(Progress& progress, Timings& timings, Clock::time_point now) {
  const std::uint64_t op = progress.first + progress.acked;
  if (progress.acked == 0) {
    timings.startup = since(progress.started, now);
  } else if (crash::make_op(kStreamSeed, op).kind == OpKind::Checkpoint) {
    timings.checkpoint = since(progress.last_ack, now);
  }
  progress.last_ack = now;
  ++progress.acked;
}

void note_event(Progress& progress, Timings& timings, FileEvent event, Clock::time_point now) {
  // Events read together carry no duration.
  const auto seen = [&](FileEvent earlier) {
    return progress.events[static_cast<std::size_t>(earlier)] > 0 &&
           progress.last_event[static_cast<std::size_t>(earlier)] < now;
  };
  const auto when = [&](FileEvent earlier) {
    return progress.last_event[static_cast<std::size_t>(earlier)];
  };
  if (event == FileEvent::SnapshotInPlace && seen(FileEvent::SnapshotStarted))
    timings.snapshot_write = since(when(FileEvent::SnapshotStarted), now);
  if (event == FileEvent::LogReplaced && seen(FileEvent::SnapshotInPlace))
    timings.log_switch = since(when(FileEvent::SnapshotInPlace), now);
  progress.last_event[static_cast<std::size_t>(event)] = now;
  ++progress.events[static_cast<std::size_t>(event)];
  progress.latest = event;
}

// Follows the writer's acknowledgements (which must come in order) and checkpoint files until
// `reached` holds.
template <class Reached>
::testing::AssertionResult follow(WriterProcess& writer, CheckpointWatch& watch, Progress& progress,
                                  Timings& timings, Reached reached) {
  const Clock::time_point deadline = Clock::now() + kStallTimeout;
  while (!reached(progress)) {
    if (writer.closed()) return ::testing::AssertionFailure() << "the writer died on its own";
    if (Clock::now() > deadline) return ::testing::AssertionFailure() << "the writer stalled";
    pollfd ready[2] = {{writer.output(), POLLIN, 0}, {watch.fd(), POLLIN, 0}};
    if (::poll(ready, 2, 100) <= 0) continue;
    const Clock::time_point now = Clock::now();
    if (ready[0].revents != 0) writer.read_some();
    while (std::optional<std::uint64_t> ack = writer.pop_ack()) {
      if (*ack != progress.first + progress.acked) {
        return ::testing::AssertionFailure()
               << "acknowledged " << *ack << " after " << progress.first + progress.acked - 1;
      }
      note_ack(progress, timings, now);
    }
    if (ready[1].revents != 0) {
      for (const FileEvent event : watch.read_events()) note_event(progress, timings, event, now);
    }
  }
  return ::testing::AssertionSuccess();
}

// ---- Where the kills land -------------------------------------------------------------------

enum class Aim { Startup, RequestedCheckpoint, SnapshotWrite, LogSwitch, FreshLog, Anywhere };

std::string_view name_of(Aim aim) {
  switch (aim) {
    case Aim::Startup:
      return "startup";
    case Aim::RequestedCheckpoint:
      return "a requested checkpoint";
    case Aim::SnapshotWrite:
      return "a snapshot write";
    case Aim::LogSwitch:
      return "the switch to a fresh log";
    case Aim::FreshLog:
      return "a fresh log";
    case Aim::Anywhere:
      return "anywhere";
  }
  return "unknown";
}

// Wait for `acks` acknowledgements, or for the first `event`; then `delay`; then kill.
struct KillPlan {
  Aim aim;
  std::uint64_t acks = 0;
  std::optional<FileEvent> event;
  Micros delay{0};

  bool reached(const Progress& progress) const {
    if (event) return progress.events[static_cast<std::size_t>(*event)] > 0;
    return progress.acked >= acks;
  }
};

// The first checkpoint the stream asks for after `first`, if one comes soon.
std::optional<std::uint64_t> next_checkpoint(std::uint64_t first) {
  for (std::uint64_t i = first + 1; i <= first + kMaxAcksPerRound; ++i) {
    if (crash::make_op(kStreamSeed, i).kind == OpKind::Checkpoint) return i;
  }
  return std::nullopt;
}

Micros up_to(std::mt19937& random, Micros limit) {
  return Micros(std::uniform_int_distribution<std::int64_t>(0, limit.count())(random));
}

// Startup, and every phase of a checkpoint (the ones the stream asks for and the ones changes
// run when the log is full), get kills of their own; the rest land anywhere in the stream.
KillPlan plan_kill(std::mt19937& random, std::uint64_t first, const Timings& timings) {
  const int roll = std::uniform_int_distribution<int>(0, 19)(random);
  if (roll < 2) return {Aim::Startup, 0, std::nullopt, up_to(random, timings.startup)};
  if (roll < 6) {
    // Right after the change before the checkpoint, then somewhere inside the checkpoint.
    if (const std::optional<std::uint64_t> checkpoint = next_checkpoint(first)) {
      return {Aim::RequestedCheckpoint, *checkpoint - first, std::nullopt,
              up_to(random, timings.checkpoint * 3 / 2)};
    }
  } else if (roll < 8) {
    return {Aim::SnapshotWrite, 0, FileEvent::SnapshotStarted,
            up_to(random, timings.snapshot_write)};
  } else if (roll < 10) {
    return {Aim::LogSwitch, 0, FileEvent::SnapshotInPlace, up_to(random, timings.log_switch)};
  } else if (roll < 12) {
    // The fresh log has its name but not yet its first record while its directory is synced.
    return {Aim::FreshLog, 0, FileEvent::LogReplaced, up_to(random, Micros(500))};
  }
  const auto acks = std::uniform_int_distribution<std::uint64_t>(1, kMaxAcksPerRound)(random);
  return {Aim::Anywhere, acks, std::nullopt, up_to(random, Micros(2'000))};
}

// Whether the log holds no record: a fresh log before its Checkpoint record went in.
bool log_without_records(const std::filesystem::path& dir) {
  const Result<std::vector<WalRecord>> records = Wal::read_records(dir / "wal", 0);
  return records && records->empty();
}

// What the kills hit, as far as the acknowledgements and the files tell.
struct KillCounts {
  int total = 0;
  int during_startup = 0;        // no change acknowledged yet
  int requested_checkpoint = 0;  // a checkpoint the stream asked for had not returned
  // The last checkpoint file that appeared before the kill, when the checkpoint had not ended.
  std::array<int, kFileEvents> inside_checkpoint_after{};
  int partial_batches = 0;  // an upsert or a batch kept some of its records but not all
  // Of the changes in flight that change anything (not a checkpoint, not the deletion of an id
  // that is not live): kept whole, or lost.
  int whole = 0;
  int absent = 0;

  void count_checkpoint_phase(const Progress& progress, const std::filesystem::path& dir) {
    if (!progress.latest) return;
    // After the fresh log took its name, only its first record is left to write.
    if (*progress.latest == FileEvent::LogReplaced && !log_without_records(dir)) return;
    ++inside_checkpoint_after[static_cast<std::size_t>(*progress.latest)];
  }
};

void preload(const std::filesystem::path& dir, Model& model) {
  auto db = PersistentVectorDb::open(dir, crash::workload_config());
  ASSERT_TRUE(db);
  for (std::uint64_t i = 0; i < crash::kPreloadOps; ++i) {
    const Op op = crash::make_op(kStreamSeed, i);
    ASSERT_TRUE(crash::apply_op(**db, op)) << "operation " << i;
    model.apply(op);
  }
}

TEST(PersistentCrashTest, KilledWriterLosesNothingAcknowledged) {
  testing::TempDir dir;
  Model model;
  ASSERT_NO_FATAL_FAILURE(preload(dir.path(), model));

  std::mt19937 random(kKillSeed);
  Timings timings;
  KillCounts counts;
  Recall recall;
  std::uint64_t first = crash::kPreloadOps;
  const Clock::time_point started = Clock::now();

  for (int round = 0; round < kRounds; ++round) {
    const KillPlan plan = plan_kill(random, first, timings);
    SCOPED_TRACE("round " + std::to_string(round) + ", kill aimed at " +
                 std::string(name_of(plan.aim)) + ", writer started at operation " +
                 std::to_string(first));
    CheckpointWatch watch(dir.path());
    ASSERT_TRUE(watch.watching()) << "inotify: " << std::strerror(errno);
    auto writer = WriterProcess::start(dir.path(), first);
    ASSERT_TRUE(writer) << writer.error();
    Progress progress;
    progress.first = first;
    progress.started = Clock::now();
    ASSERT_TRUE(follow(**writer, watch, progress, timings,
                       [&](const Progress& p) { return plan.reached(p); }));
    std::this_thread::sleep_for(plan.delay);
    const int status = (*writer)->kill_and_reap();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the writer ended before the kill (status " << status << ")";
    // What the writer acknowledged and created before it died is still in the pipe and the
    // watch's queue.
    ASSERT_TRUE(follow(**writer, watch, progress, timings,
                       [&](const Progress&) { return (*writer)->closed(); }));
    for (const FileEvent event : watch.read_events())
      note_event(progress, timings, event, Clock::now());
    writer->reset();

    for (std::uint64_t i = first; i < first + progress.acked; ++i)
      model.apply(crash::make_op(kStreamSeed, i));
    const Op in_flight = crash::make_op(kStreamSeed, first + progress.acked);
    ++counts.total;
    counts.during_startup += progress.acked == 0;
    counts.requested_checkpoint += in_flight.kind == OpKind::Checkpoint;
    counts.count_checkpoint_phase(progress, dir.path());

    SCOPED_TRACE("in flight at the kill: " + std::string(crash::name_of(in_flight.kind)) + " " +
                 std::to_string(in_flight.index));
    auto db = PersistentVectorDb::open(dir.path(), crash::workload_config());
    ASSERT_TRUE(db) << "reopening failed with kind " << static_cast<int>(db.error().kind());
    const std::vector<Step> steps = steps_of(in_flight);
    const std::optional<std::size_t> kept = kept_steps(**db, model, steps);
    ASSERT_TRUE(kept)
        << "the change in flight is neither whole nor absent (nor a prefix of its records):"
        << describe_ids(**db, model, steps);
    if (changes_anything(model, steps)) {
      counts.absent += *kept == 0;
      counts.whole += *kept == steps.size();
      counts.partial_batches += *kept != 0 && *kept != steps.size();
    }
    for (std::size_t k = 0; k < *kept; ++k) model.apply(steps[k]);

    expect_same_contents(**db, model);
    check_searches(**db, model, random, recall);
    ASSERT_FALSE(HasFailure());
    first = in_flight.index + 1;
  }

  // The true nearest are known exactly; the graph may miss a few.
  EXPECT_GE(static_cast<double>(recall.found), 0.9 * static_cast<double>(recall.wanted));
  const auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const auto& phases = counts.inside_checkpoint_after;
  std::printf(
      "crash test: %d kills in %.1f s, operations %llu..%llu, %zu vectors live at the end.\n"
      "  %d during startup, %d with a requested checkpoint in flight. Inside checkpoints: %d "
      "while the snapshot was written, %d between snapshot and fresh log, %d while the fresh log "
      "was written, %d before the fresh log's first record.\n"
      "  The change in flight was kept whole %d times, lost %d times, a prefix of its records %d "
      "times; "
      "search recall %zu/%zu.\n",
      counts.total, seconds, static_cast<unsigned long long>(crash::kPreloadOps),
      static_cast<unsigned long long>(first - 1), model.live().size(), counts.during_startup,
      counts.requested_checkpoint, phases[0], phases[1], phases[2], phases[3], counts.whole,
      counts.absent, counts.partial_batches, recall.found, recall.wanted);
}

}  // namespace
}  // namespace vexradb
