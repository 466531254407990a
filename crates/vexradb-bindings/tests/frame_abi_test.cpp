// The call frame as a foreign caller sees it: contract, checksums, free functions, handles, the
// asynchronous-call family and the exported symbol table.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "abi_test_util.hpp"
#include "program_path.hpp"
#include "vexradb_bindings.h"

namespace vexradb::abi_test {
namespace {

TEST(FrameAbiTest, ContractVersionAndChecksums) {
  EXPECT_EQ(ffi_vexradb_bindings_uniffi_contract_version(), 26u);
  const std::pair<uint16_t (*)(), uint16_t> checksums[] = {
      {uniffi_vexradb_bindings_checksum_func_version, 0xE2AB},
      {uniffi_vexradb_bindings_checksum_func_system_info, 0x3E47},
      {uniffi_vexradb_bindings_checksum_constructor_vexraclient_new_in_memory, 0x6F50},
      {uniffi_vexradb_bindings_checksum_constructor_vexraclient_open, 0xC75D},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_insert, 0x0C04},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_upsert, 0xCDB6},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_upsert_batch, 0x89B3},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_get, 0xE96E},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_delete, 0x17CC},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_list, 0xFC50},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_len, 0xB056},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_is_empty, 0x8142},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_search, 0xE6DB},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_search_with_filter, 0xCC20},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_stats, 0xFCE4},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_sync, 0x7C4C},
      {uniffi_vexradb_bindings_checksum_method_vexraclient_checkpoint, 0x4D49},
  };
  for (const auto& [checksum, expected] : checksums) EXPECT_EQ(checksum(), expected);
}

TEST(FrameAbiTest, VersionAndSystemInfo) {
  CallStatus status = fresh_status();
  EXPECT_EQ(consume_text(uniffi_vexradb_bindings_fn_func_version(&status)), "1.0.0-alpha.5");
#if defined(__aarch64__)
  const std::string target = "aarch64-linux";
#else
  const std::string target = "x86_64-linux";
#endif
  EXPECT_EQ(consume_text(uniffi_vexradb_bindings_fn_func_system_info(&status)),
            "VexraDB Bindings v1.0.0-alpha.5\nTarget: " + target + "\nFeatures: SIMD-optimized");
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(status.error_buf.data, nullptr);
}

TEST(FrameAbiTest, MetadataSymbolsHoldTheirExactBytes) {
  const std::string name = "\x10vexradb_bindings";
  const std::string ns = "\x07vexradb";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(UNIFFI_META_NAMESPACE_VEXRADB), 26),
            "\x06" + name + ns);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(UNIFFI_META_UDL_VEXRADB), 34),
            "\x08" + name + ns + ns);
}

TEST(FrameAbiTest, FreeingOrCloningANullHandleIsAnInternalFailure) {
  CallStatus status = fresh_status();
  uniffi_vexradb_bindings_fn_free_vexraclient(nullptr, &status);
  EXPECT_EQ(status.code, 2);
  EXPECT_EQ(failure_message(status), "assertion failed: !ptr.is_null()");
  status = fresh_status();
  EXPECT_EQ(uniffi_vexradb_bindings_fn_clone_vexraclient(nullptr, &status), nullptr);
  EXPECT_EQ(status.code, 2);
  EXPECT_EQ(failure_message(status), "assertion failed: !ptr.is_null()");
}

// Bindings never get a future handle; if one is used anyway the caller must not hang or crash.
TEST(FrameAbiTest, FutureFamilyAnswersWithoutHanging) {
  struct Poll {
    uint64_t data = 0;
    int8_t result = -1;
  } poll;
  auto callback = [](uint64_t data, int8_t result) {
    auto* p = reinterpret_cast<Poll*>(data);
    p->data = data;
    p->result = result;
  };
  ffi_vexradb_bindings_rust_future_poll_rust_buffer(42, callback,
                                                    reinterpret_cast<uint64_t>(&poll));
  EXPECT_EQ(poll.result, 0);  // ready
  EXPECT_EQ(poll.data, reinterpret_cast<uint64_t>(&poll));

  CallStatus status = fresh_status();
  RustBuffer buffer = ffi_vexradb_bindings_rust_future_complete_rust_buffer(42, &status);
  EXPECT_EQ(status.code, 2);
  EXPECT_EQ(failure_message(status), "no asynchronous call exists for future handle 42");
  EXPECT_EQ(buffer.data, nullptr);

  status = fresh_status();
  EXPECT_EQ(ffi_vexradb_bindings_rust_future_complete_f64(7, &status), 0.0);
  EXPECT_EQ(status.code, 2);
  failure_message(status);

  status = fresh_status();
  ffi_vexradb_bindings_rust_future_complete_void(7, &status);
  EXPECT_EQ(status.code, 2);
  failure_message(status);

  ffi_vexradb_bindings_rust_future_cancel_u8(42);
  ffi_vexradb_bindings_rust_future_free_u8(42);
}

std::set<std::string> expected_exports() {
  std::set<std::string> names = {
      "ffi_vexradb_bindings_uniffi_contract_version",
      "ffi_vexradb_bindings_rustbuffer_alloc",
      "ffi_vexradb_bindings_rustbuffer_from_bytes",
      "ffi_vexradb_bindings_rustbuffer_free",
      "ffi_vexradb_bindings_rustbuffer_reserve",
      "uniffi_vexradb_bindings_fn_func_version",
      "uniffi_vexradb_bindings_fn_func_system_info",
      "uniffi_vexradb_bindings_fn_clone_vexraclient",
      "uniffi_vexradb_bindings_fn_free_vexraclient",
      "uniffi_vexradb_bindings_fn_constructor_vexraclient_new_in_memory",
      "uniffi_vexradb_bindings_fn_constructor_vexraclient_open",
      "UNIFFI_META_NAMESPACE_VEXRADB",
      "UNIFFI_META_UDL_VEXRADB",
  };
  for (const char* op : {"func_version", "func_system_info"}) {
    names.insert(std::string("uniffi_vexradb_bindings_checksum_") + op);
  }
  for (const char* ctor : {"new_in_memory", "open"}) {
    names.insert(std::string("uniffi_vexradb_bindings_checksum_constructor_vexraclient_") + ctor);
  }
  for (const char* method :
       {"insert", "upsert", "upsert_batch", "get", "delete", "list", "len", "is_empty", "search",
        "search_with_filter", "stats", "sync", "checkpoint"}) {
    names.insert(std::string("uniffi_vexradb_bindings_checksum_method_vexraclient_") + method);
    names.insert(std::string("uniffi_vexradb_bindings_fn_method_vexraclient_") + method);
  }
  for (const char* tag : {"u8", "i8", "u16", "i16", "u32", "i32", "u64", "i64", "f32", "f64",
                          "pointer", "rust_buffer", "void"}) {
    for (const char* role : {"poll", "cancel", "complete", "free"}) {
      names.insert(std::string("ffi_vexradb_bindings_rust_future_") + role + "_" + tag);
    }
  }
  return names;
}

// Generated bindings resolve every symbol when they load, and nothing else of ours may leak.
TEST(FrameAbiTest, DynamicSymbolTableHoldsExactlyTheExportedInterface) {
  const std::string library =
      testing_support::beside_this_program(VEXRA_LIBRARY_FROM_TESTS).string();
  const std::string command = "nm -D --defined-only '" + library + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    char address[64], type[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", address, type, name) == 3) exported.insert(name);
  }
  std::set<std::string> expected = expected_exports();
  EXPECT_EQ(expected.size(), 95u);
  // The extensions, under their own prefix.
  for (const char* extension : {"vexradb_ext_search_with_filter_json", "vexradb_ext_open_client",
                                "vexradb_ext_search_batch", "vexradb_ext_set_text_index",
                                "vexradb_ext_text_search", "vexradb_ext_hybrid_search"})
    expected.insert(extension);
  EXPECT_EQ(exported, expected);
}

}  // namespace
}  // namespace vexradb::abi_test
