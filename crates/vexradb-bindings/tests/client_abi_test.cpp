// The client as a foreign caller drives it: only the public header, the shared library and the
// byte encoding.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "abi_test_util.hpp"
#include "vexradb_bindings.h"

namespace vexradb::abi_test {
namespace {

// What a failed call reported: the code and, for code 1, the error's variant number and message;
// for code 2, the raw message.
struct Failure {
  int code = 0;
  int variant = 0;
  std::string message;
};

Failure failure_of(CallStatus& status) {
  Failure failure{status.code, 0, {}};
  if (status.code == 0) return failure;
  const std::string bytes = failure_message(status);
  if (failure.code == 1) {
    Decoder decoder(bytes);
    failure.variant = decoder.i32();
    failure.message = decoder.text();
  } else {
    failure.message = bytes;
  }
  return failure;
}

struct Hit {
  std::string id;
  float distance;
  std::optional<std::string> metadata;
};

class ClientAbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CallStatus status = fresh_status();
    client_ = uniffi_vexradb_bindings_fn_constructor_vexraclient_new_in_memory(3, &status);
    ASSERT_EQ(status.code, 0);
    ASSERT_NE(client_, nullptr);
  }
  void TearDown() override {
    CallStatus status = fresh_status();
    uniffi_vexradb_bindings_fn_free_vexraclient(client_, &status);
    EXPECT_EQ(status.code, 0);
  }

  // A reference for one method call, which consumes it.
  void* ref() {
    CallStatus status = fresh_status();
    return uniffi_vexradb_bindings_fn_clone_vexraclient(client_, &status);
  }

  Failure insert(const std::string& id, const std::vector<float>& vector,
                 const std::optional<std::string>& metadata = std::nullopt) {
    CallStatus status = fresh_status();
    uniffi_vexradb_bindings_fn_method_vexraclient_insert(
        ref(), Encoder().raw(id).buffer(), Encoder().floats(vector).buffer(),
        Encoder().optional_text(metadata).buffer(), &status);
    return failure_of(status);
  }

  std::vector<Hit> search(const std::vector<float>& query, uint32_t k,
                          const std::optional<Encoder>& filter = std::nullopt) {
    CallStatus status = fresh_status();
    RustBuffer result =
        filter ? uniffi_vexradb_bindings_fn_method_vexraclient_search_with_filter(
                     ref(), Encoder().floats(query).buffer(), k, filter->buffer(), &status)
               : uniffi_vexradb_bindings_fn_method_vexraclient_search(
                     ref(), Encoder().floats(query).buffer(), k, &status);
    EXPECT_EQ(status.code, 0) << failure_of(status).message;
    Decoder decoder(consume_text(result));
    std::vector<Hit> hits(static_cast<std::size_t>(decoder.i32()));
    for (Hit& hit : hits) {
      hit.id = decoder.text();
      hit.distance = decoder.f32();
      hit.metadata = decoder.optional_text();
    }
    EXPECT_TRUE(decoder.done());
    return hits;
  }

  std::vector<std::string> list(uint32_t offset, uint32_t limit) {
    CallStatus status = fresh_status();
    Decoder decoder(consume_text(
        uniffi_vexradb_bindings_fn_method_vexraclient_list(ref(), offset, limit, &status)));
    std::vector<std::string> ids(static_cast<std::size_t>(decoder.i32()));
    for (std::string& id : ids) id = decoder.text();
    return ids;
  }

  uint64_t len() {
    CallStatus status = fresh_status();
    return uniffi_vexradb_bindings_fn_method_vexraclient_len(ref(), &status);
  }

  void* client_ = nullptr;
};

TEST_F(ClientAbiTest, SearchBeforeAnyInsertIsIndexEmpty) {
  CallStatus status = fresh_status();
  RustBuffer result = uniffi_vexradb_bindings_fn_method_vexraclient_search(
      ref(), Encoder().floats({1, 2, 3}).buffer(), 5, &status);
  EXPECT_EQ(result.data, nullptr);
  ASSERT_EQ(status.code, 1);
  const std::string bytes = failure_message(status);
  EXPECT_EQ(bytes, std::string("\0\0\0\x04\0\0\0\x1D", 8) + "Index is empty, cannot search");
}

TEST_F(ClientAbiTest, InsertGetListDeleteRoundTrip) {
  ASSERT_EQ(insert("a", {1, 0, 0}, R"( {"b": 1, "a": [1, 2.5, "x"]} )").code, 0);
  ASSERT_EQ(insert("b", {0, 1, 0}).code, 0);
  ASSERT_EQ(insert("c", {0, 0, 1}).code, 0);

  CallStatus status = fresh_status();
  Decoder got(consume_text(uniffi_vexradb_bindings_fn_method_vexraclient_get(
      ref(), Encoder().raw("a").buffer(), &status)));
  ASSERT_EQ(got.u8(), 1);
  EXPECT_EQ(got.text(), "a");
  EXPECT_EQ(got.floats(), (std::vector<float>{1, 0, 0}));
  EXPECT_EQ(got.optional_text(), R"({"a":[1,2.5,"x"],"b":1})");  // compact, keys sorted
  EXPECT_TRUE(got.done());

  Decoder missing(consume_text(uniffi_vexradb_bindings_fn_method_vexraclient_get(
      ref(), Encoder().raw("zz").buffer(), &status)));
  EXPECT_EQ(missing.u8(), 0);
  EXPECT_EQ(status.code, 0);

  EXPECT_TRUE(list(0, 0).empty());
  EXPECT_EQ(list(1, 10), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(len(), 3u);

  EXPECT_EQ(uniffi_vexradb_bindings_fn_method_vexraclient_delete(ref(), Encoder().raw("b").buffer(),
                                                                 &status),
            1);
  EXPECT_EQ(uniffi_vexradb_bindings_fn_method_vexraclient_delete(ref(), Encoder().raw("b").buffer(),
                                                                 &status),
            0);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(len(), 2u);
  EXPECT_EQ(uniffi_vexradb_bindings_fn_method_vexraclient_is_empty(ref(), &status), 0);
}

TEST_F(ClientAbiTest, EngineErrorsCarryTheirMessages) {
  const Failure wrong_length = insert("a", {1, 2});
  EXPECT_EQ(wrong_length.code, 1);
  EXPECT_EQ(wrong_length.variant, 1);
  EXPECT_EQ(wrong_length.message, "Dimension mismatch: expected 3, got 2");

  ASSERT_EQ(insert("a", {1, 2, 3}).code, 0);
  const Failure duplicate = insert("a", {1, 2, 3});
  EXPECT_EQ(duplicate.variant, 3);
  EXPECT_EQ(duplicate.message, "Duplicate vector ID: a");

  const Failure bad_json = insert("b", {1, 2, 3}, "{");
  EXPECT_EQ(bad_json.variant, 8);
  EXPECT_EQ(bad_json.message,
            "Serialization error: EOF while parsing an object at line 1 column 1");
  EXPECT_EQ(len(), 1u);
}

TEST_F(ClientAbiTest, BatchWithOneBadMetadataStoresNothing) {
  Encoder entries;
  entries.i32(2);
  entries.text("x").floats({1, 1, 1}).optional_text(R"({"ok":true})");
  entries.text("y").floats({2, 2, 2}).optional_text("{");
  CallStatus status = fresh_status();
  uniffi_vexradb_bindings_fn_method_vexraclient_upsert_batch(ref(), entries.buffer(), &status);
  const Failure failure = failure_of(status);
  EXPECT_EQ(failure.variant, 8);
  EXPECT_EQ(len(), 0u);

  Encoder empty;
  empty.i32(0);
  status = fresh_status();
  uniffi_vexradb_bindings_fn_method_vexraclient_upsert_batch(ref(), empty.buffer(), &status);
  EXPECT_EQ(status.code, 0);
}

TEST_F(ClientAbiTest, FilteredSearchUsesEqInAndOr) {
  ASSERT_EQ(insert("jazz99", {1, 0, 0}, R"({"genre":"jazz","year":1999})").code, 0);
  ASSERT_EQ(insert("jazz00", {0.9f, 0.1f, 0}, R"({"genre":"jazz","year":2000})").code, 0);
  ASSERT_EQ(insert("rock99", {0.8f, 0.2f, 0}, R"({"genre":"rock","year":1999})").code, 0);
  ASSERT_EQ(insert("bare", {1, 0, 0}).code, 0);

  Encoder eq_jazz;
  eq_jazz.i32(1).text("genre").text(R"("jazz")");
  std::vector<Hit> hits = search({1, 0, 0}, 10, eq_jazz);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, "jazz99");
  EXPECT_EQ(hits[0].metadata, R"({"genre":"jazz","year":1999})");

  Encoder jazz_in_1999;  // And(Eq(genre, jazz), In(year, [1999, 2001]))
  jazz_in_1999.i32(3).i32(2);
  jazz_in_1999.i32(1).text("genre").text(R"("jazz")");
  jazz_in_1999.i32(2).text("year").i32(2).text("1999").text("2001");
  hits = search({1, 0, 0}, 10, jazz_in_1999);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, "jazz99");

  Encoder either;  // Or(Eq(genre, rock), Eq(year, 2000))
  either.i32(4).i32(2);
  either.i32(1).text("genre").text(R"("rock")");
  either.i32(1).text("year").text("2000");
  EXPECT_EQ(search({1, 0, 0}, 10, either).size(), 2u);

  Encoder float_year;  // 1999.0 is a float: not equal to the integer 1999
  float_year.i32(1).text("year").text("1999.0");
  EXPECT_TRUE(search({1, 0, 0}, 10, float_year).empty());

  Encoder broken;
  broken.i32(1).text("genre").text("jazz");  // not JSON
  CallStatus status = fresh_status();
  uniffi_vexradb_bindings_fn_method_vexraclient_search_with_filter(
      ref(), Encoder().floats({1, 0, 0}).buffer(), 10, broken.buffer(), &status);
  const Failure failure = failure_of(status);
  EXPECT_EQ(failure.code, 1);
  EXPECT_EQ(failure.variant, 8);
  EXPECT_EQ(failure.message, "Serialization error: expected value at line 1 column 1");
}

TEST_F(ClientAbiTest, ArgumentsThatDoNotLiftAreInternalFailures) {
  struct Case {
    Encoder id, vector, metadata;
    std::string message;
  };
  std::vector<Case> cases;
  cases.push_back(
      {Encoder().raw("a"), Encoder().floats({1, 2, 3}).raw("xyz"),
       Encoder().optional_text(std::nullopt),
       "Failed to convert arg 'vector': junk data left in buffer after lifting (count: 3)"});
  cases.push_back({Encoder().raw("\xff"), Encoder().floats({1, 2, 3}),
                   Encoder().optional_text(std::nullopt),
                   "Failed to convert arg 'id': invalid utf-8 sequence of 1 bytes from index 0"});
  cases.push_back({Encoder().raw("a"), Encoder().floats({1, 2, 3}),
                   Encoder().u8(1).i32(5).raw("abc"),
                   "Failed to convert arg 'metadata_json': not enough bytes remaining in buffer "
                   "(3 < 5)"});
  cases.push_back({Encoder().raw("a"), Encoder().floats({1, 2, 3}), Encoder().u8(2),
                   "Failed to convert arg 'metadata_json': unexpected tag byte for Option"});
  cases.push_back({Encoder().raw("a"), Encoder().i32(-1), Encoder().optional_text(std::nullopt),
                   "Failed to convert arg 'vector': out of range integral type conversion "
                   "attempted"});
  cases.push_back({Encoder().raw("a"), Encoder().i32(1 << 30),
                   Encoder().optional_text(std::nullopt),
                   "Failed to convert arg 'vector': not enough bytes remaining in buffer (0 < 4)"});
  for (Case& c : cases) {
    CallStatus status = fresh_status();
    uniffi_vexradb_bindings_fn_method_vexraclient_insert(ref(), c.id.buffer(), c.vector.buffer(),
                                                         c.metadata.buffer(), &status);
    const Failure failure = failure_of(status);
    EXPECT_EQ(failure.code, 2);
    EXPECT_EQ(failure.message, c.message);
  }
  EXPECT_EQ(len(), 0u);

  // A buffer whose length exceeds its capacity: the method does not run.
  uint8_t byte = 'a';
  CallStatus status = fresh_status();
  uniffi_vexradb_bindings_fn_method_vexraclient_insert(ref(), RustBuffer{1, 2, &byte},
                                                       Encoder().floats({1, 2, 3}).buffer(),
                                                       Encoder().u8(0).buffer(), &status);
  EXPECT_EQ(failure_of(status).message, "RustBuffer length exceeds capacity");
  EXPECT_EQ(len(), 0u);
}

TEST_F(ClientAbiTest, FiltersNestedTooDeeplyAreRefused) {
  Encoder deep;
  for (int i = 0; i < 200; ++i) deep.i32(3).i32(1);  // And(And(And(...
  deep.i32(1).text("a").text("1");
  CallStatus status = fresh_status();
  ASSERT_EQ(insert("a", {1, 0, 0}, R"({"a":1})").code, 0);
  uniffi_vexradb_bindings_fn_method_vexraclient_search_with_filter(
      ref(), Encoder().floats({1, 0, 0}).buffer(), 1, deep.buffer(), &status);
  const Failure failure = failure_of(status);
  EXPECT_EQ(failure.code, 2);
  EXPECT_EQ(failure.message,
            "Failed to convert arg 'filter': SearchFilter nested deeper than 128 levels");

  Encoder unknown;
  unknown.i32(9);
  status = fresh_status();
  uniffi_vexradb_bindings_fn_method_vexraclient_search_with_filter(
      ref(), Encoder().floats({1, 0, 0}).buffer(), 1, unknown.buffer(), &status);
  EXPECT_EQ(failure_of(status).message,
            "Failed to convert arg 'filter': Invalid SearchFilter enum value: 9");
}

// Arguments of a batch search that cannot be what they claim fail the call and allocate nothing
// by a count alone.
TEST_F(ClientAbiTest, BatchSearchRefusesMalformedArguments) {
  ASSERT_EQ(insert("a", {1, 0, 0}, R"({"a":1})").code, 0);
  const std::string two_rows(2 * 3 * sizeof(float), '\0');
  auto batch = [&](const std::string& queries, std::uint32_t count, Encoder filter) {
    CallStatus status = fresh_status();
    consume_text(vexradb_ext_search_batch(ref(), Encoder().raw(queries).buffer(), count, 1,
                                          filter.buffer(), 1, 0, &status));
    return failure_of(status);
  };
  EXPECT_EQ(batch(two_rows, 2, Encoder().u8(0)).code, 0);
  EXPECT_EQ(batch(two_rows.substr(0, 10), 3, Encoder().u8(0)).message,
            "Failed to convert arg 'queries': 10 bytes do not hold 3 rows of 4-byte floats");
  EXPECT_EQ(batch("", 4294967295u, Encoder().u8(0)).code, 2);
  EXPECT_EQ(batch(two_rows, 2, Encoder().u8(7)).message,
            "Failed to convert arg 'filter': unknown filter kind (0 none, 1 the filter record, 2 "
            "JSON text)");
  EXPECT_EQ(batch(two_rows, 2, Encoder().u8(2).text("{\"field\":")).variant, 8);
  EXPECT_EQ(batch(two_rows, 2, Encoder()).code, 2);
  // Rows that split evenly but have the wrong length fail as a single search of them does.
  EXPECT_EQ(batch(two_rows, 1, Encoder().u8(0)).message, "Dimension mismatch: expected 3, got 6");
  EXPECT_EQ(batch(two_rows, 3, Encoder().u8(0)).message, "Dimension mismatch: expected 3, got 2");
}

TEST_F(ClientAbiTest, StatsSyncAndCheckpoint) {
  CallStatus status = fresh_status();
  Decoder empty(consume_text(uniffi_vexradb_bindings_fn_method_vexraclient_stats(ref(), &status)));
  EXPECT_EQ(empty.u64(), 0u);
  EXPECT_EQ(empty.u32(), 3u);
  EXPECT_EQ(empty.u64(), 0u);  // an empty graph reserves nothing
  EXPECT_EQ(empty.f32(), 1.0f);

  ASSERT_EQ(insert("a", {1, 0, 0}).code, 0);
  Decoder one(consume_text(uniffi_vexradb_bindings_fn_method_vexraclient_stats(ref(), &status)));
  EXPECT_EQ(one.u64(), 1u);
  EXPECT_EQ(one.u32(), 3u);
  EXPECT_GE(one.u64(), 132u + 12u);

  uniffi_vexradb_bindings_fn_method_vexraclient_sync(ref(), &status);
  uniffi_vexradb_bindings_fn_method_vexraclient_checkpoint(ref(), &status);
  EXPECT_EQ(status.code, 0);
}

TEST_F(ClientAbiTest, ConcurrentCallersShareOneHandle) {
  std::vector<std::thread> threads;
  std::atomic<int> failures = 0;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
        if (insert(id, {static_cast<float>(t), static_cast<float>(i), 1}).code != 0) ++failures;
        if (search({1, 1, 1}, 5).empty()) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(len(), 200u);
}

// Several threads search, write, sync and checkpoint one client of each configured kind: a
// durable one, whose checkpoints replace its engine under the searches, an 8-bit one, and one in
// memory at full precision, whose replaced and deleted versions are reclaimed (the engine
// replaced) as the changes pile them up and at every checkpoint.
TEST(ConfiguredClientAbiTest, ConcurrentSearchesWritesAndCheckpoints) {
  struct Kind {
    bool persistent;
    std::int32_t quantization;  // 1 none, 2 SQ8
  };
  for (const Kind kind : {Kind{true, 1}, Kind{false, 2}, Kind{false, 1}}) {
    const bool persistent = kind.persistent;
    SCOPED_TRACE(::testing::Message() << persistent << " " << kind.quantization);
    char directory[] = "/tmp/vexradb-abi-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const Encoder config = Encoder()
                               .u32(4)
                               .i32(2)  // Euclidean
                               .i32(kind.quantization)
                               .u8(persistent ? 1 : 0)
                               .optional_text(std::nullopt);
    CallStatus status = fresh_status();
    void* client = uniffi_vexradb_bindings_fn_constructor_vexraclient_open(
        Encoder().raw(directory).buffer(), config.buffer(), &status);
    ASSERT_EQ(status.code, 0) << failure_of(status).message;
    auto ref = [client] {
      CallStatus clone_status = fresh_status();
      return uniffi_vexradb_bindings_fn_clone_vexraclient(client, &clone_status);
    };
    auto insert = [&](const std::string& id, float x) {
      CallStatus call = fresh_status();
      uniffi_vexradb_bindings_fn_method_vexraclient_upsert(
          ref(), Encoder().raw(id).buffer(), Encoder().floats({x, 1, 2, 3}).buffer(),
          Encoder().optional_text("{\"x\":1}").buffer(), &call);
      return call.code;
    };
    ASSERT_EQ(insert("first", 0), 0);

    std::atomic<int> failures = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 60; ++i) {
          const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i % 20);
          if (insert(id, static_cast<float>(i)) != 0) ++failures;
          if (i % 3 == 0) {
            CallStatus call = fresh_status();
            uniffi_vexradb_bindings_fn_method_vexraclient_delete(ref(), Encoder().raw(id).buffer(),
                                                                 &call);
            if (call.code != 0) ++failures;
          }
        }
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < 120; ++i) {
        CallStatus call = fresh_status();
        RustBuffer hits = uniffi_vexradb_bindings_fn_method_vexraclient_search(
            ref(), Encoder().floats({1, 1, 2, 3}).buffer(), 5, &call);
        if (call.code != 0) ++failures;
        consume_text(hits);
      }
    });
    // Batch searches spread their queries over the worker pool, each taking the readers' lock.
    threads.emplace_back([&] {
      const float rows[3][4] = {{1, 1, 2, 3}, {5, 1, 2, 3}, {9, 1, 2, 3}};
      const std::string queries(reinterpret_cast<const char*>(rows), sizeof rows);
      for (int i = 0; i < 40; ++i) {
        CallStatus call = fresh_status();
        RustBuffer reply = vexradb_ext_search_batch(
            ref(), Encoder().raw(queries).buffer(), 3, 5,
            Encoder().u8(2).text(R"({"field": "x", "eq": 1})").buffer(), 2, 1, &call);
        if (call.code != 0 || reply.len < 8 || reply.data[0] != 3) ++failures;
        consume_text(reply);
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        CallStatus call = fresh_status();
        uniffi_vexradb_bindings_fn_method_vexraclient_checkpoint(ref(), &call);
        uniffi_vexradb_bindings_fn_method_vexraclient_sync(ref(), &call);
        if (call.code != 0) ++failures;
      }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    uniffi_vexradb_bindings_fn_free_vexraclient(client, &status);
    EXPECT_EQ(status.code, 0);
    std::filesystem::remove_all(directory);
  }
}

}  // namespace
}  // namespace vexradb::abi_test
