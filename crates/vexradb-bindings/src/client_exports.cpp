// The client's exported constructor and methods. Each lifts its arguments in declaration order
// (the handle first), runs the client operation and lowers its result; see method_frame.hpp.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "export.hpp"
#include "filter_cache.hpp"
#include "method_frame.hpp"
#include "vexradb_bindings.h"

namespace vexradb::ffi {
namespace {

std::vector<float> lift_floats(WireReader& reader) { return reader.read_f32_sequence(); }

// insert and upsert share their arguments.
template <class Store>
void store_entry(void* handle, RustBuffer id, RustBuffer vector, RustBuffer metadata_json,
                 CallStatus* status, Store store) {
  BufferArg id_arg(id), vector_arg(vector), metadata_arg(metadata_json);
  call_method(handle, status, [&](VexraClient& client) {
    std::string id_text = lift_string_arg("id", id_arg);
    std::vector<float> values = lift_arg("vector", vector_arg, lift_floats);
    std::optional<std::string> metadata =
        lift_arg("metadata_json", metadata_arg, lift_optional_string);
    return store(client, std::move(id_text), std::move(values), std::move(metadata));
  });
}

// The rows of a batch's queries: `count` rows of one length (at least one float), as
// little-endian floats. The bytes bound the count, so no allocation follows a count alone.
std::vector<float> lift_query_rows(BufferArg& arg, std::uint32_t count) {
  const ByteBuffer bytes = arg.take();
  const std::span<const std::uint8_t> data = bytes.bytes();
  const std::size_t row_bytes = count == 0 ? 0 : data.size() / count;
  if (count == 0 ? !data.empty()
                 : row_bytes == 0 || row_bytes % 4 != 0 || data.size() != row_bytes * count) {
    fail_conversion("queries", std::to_string(data.size()) + " bytes do not hold " +
                                   std::to_string(count) + " rows of 4-byte floats");
  }
  std::vector<float> values(data.size() / 4);
  std::memcpy(values.data(), data.data(), data.size());
  return values;
}

// The engine filter of a filter argument in `form` (see filter_cache.hpp).
Outcome<std::shared_ptr<const Filter>> filter_arg_of(std::string_view name, FilterForm form,
                                                     BufferArg& arg) {
  const ByteBuffer bytes = arg.take();
  return converted_filter(name, form, bytes.bytes());
}

// A batch's filter argument: a kind byte (0 none, 1 the exported record, 2 JSON text as a wire
// string), then the filter in that form; null for none.
Outcome<std::shared_ptr<const Filter>> batch_filter_of(BufferArg& arg) {
  const ByteBuffer bytes = arg.take();
  const std::span<const std::uint8_t> data = bytes.bytes();
  const std::uint8_t kind = data.empty() ? 0xFF : data[0];
  if (kind == 0 && data.size() == 1) return nullptr;
  if (kind != 1 && kind != 2) {
    fail_conversion("filter", "unknown filter kind (0 none, 1 the filter record, 2 JSON text)");
  }
  return converted_filter("filter", kind == 1 ? FilterForm::Record : FilterForm::JsonString,
                          data.subspan(1));
}

// The packed answers of a batch search, its filter converted once for every query.
Outcome<ByteBuffer> batch_reply(const VexraClient& client, BufferArg& queries, std::uint32_t count,
                                std::uint32_t k, BufferArg& filter_arg, std::uint32_t threads,
                                bool with_metadata) {
  const std::vector<float> rows = lift_query_rows(queries, count);
  const Outcome<std::shared_ptr<const Filter>> filter = batch_filter_of(filter_arg);
  if (!filter) return tl::unexpected(filter.error());
  Outcome<BatchAnswers> answers =
      client.search_batch(rows, count, k, filter->get(), threads, with_metadata);
  if (!answers) return tl::unexpected(std::move(answers).error());
  return lower_batch_answers(*answers, with_metadata);
}

// A search's reply, or the error that kept its filter from converting.
Outcome<ByteBuffer> filtered_search(const VexraClient& client, std::span<const float> query,
                                    std::uint32_t k,
                                    const Outcome<std::shared_ptr<const Filter>>& filter) {
  if (!filter) return tl::unexpected(filter.error());
  return lowered(client.search(query, k, filter->get()), lower_search_results);
}

}  // namespace
}  // namespace vexradb::ffi

using namespace vexradb::ffi;

extern "C" {

VEXRA_EXPORT void* uniffi_vexradb_bindings_fn_constructor_vexraclient_new_in_memory(
    uint32_t dimensions, CallStatus* status) {
  return with_failure_barrier(
      status, [&] { return ClientRecord::create(VexraClient::new_in_memory(dimensions)); });
}

namespace {

void* open_client(RustBuffer path, RustBuffer config, const ClientOptions& options,
                  CallStatus* status) {
  BufferArg path_arg(path), config_arg(config);
  return with_failure_barrier(status, [&]() -> void* {
    std::string path_text = lift_string_arg("path", path_arg);
    ClientConfig client_config = lift_arg("config", config_arg, lift_client_config);
    Outcome<VexraClient> client = VexraClient::open(path_text, std::move(client_config), options);
    if (!client) {
      report_error(status, client.error());
      return nullptr;
    }
    return ClientRecord::create(std::move(*client));
  });
}

}  // namespace

VEXRA_EXPORT void* uniffi_vexradb_bindings_fn_constructor_vexraclient_open(RustBuffer path,
                                                                           RustBuffer config,
                                                                           CallStatus* status) {
  return open_client(path, config, ClientOptions{}, status);
}

VEXRA_EXPORT void uniffi_vexradb_bindings_fn_method_vexraclient_insert(void* handle, RustBuffer id,
                                                                       RustBuffer vector,
                                                                       RustBuffer metadata_json,
                                                                       CallStatus* status) {
  store_entry(handle, id, vector, metadata_json, status,
              [](VexraClient& c, auto... args) { return c.insert(std::move(args)...); });
}

VEXRA_EXPORT void uniffi_vexradb_bindings_fn_method_vexraclient_upsert(void* handle, RustBuffer id,
                                                                       RustBuffer vector,
                                                                       RustBuffer metadata_json,
                                                                       CallStatus* status) {
  store_entry(handle, id, vector, metadata_json, status,
              [](VexraClient& c, auto... args) { return c.upsert(std::move(args)...); });
}

VEXRA_EXPORT void uniffi_vexradb_bindings_fn_method_vexraclient_upsert_batch(void* handle,
                                                                             RustBuffer entries,
                                                                             CallStatus* status) {
  BufferArg entries_arg(entries);
  call_method(handle, status, [&](VexraClient& client) {
    return client.upsert_batch(lift_arg("entries", entries_arg, lift_vector_entries));
  });
}

VEXRA_EXPORT RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_get(void* handle,
                                                                          RustBuffer id,
                                                                          CallStatus* status) {
  BufferArg id_arg(id);
  return call_method(handle, status, [&](VexraClient& client) {
    return lowered(client.get(lift_string_arg("id", id_arg)), lower_optional_entry);
  });
}

VEXRA_EXPORT int8_t uniffi_vexradb_bindings_fn_method_vexraclient_delete(void* handle,
                                                                         RustBuffer id,
                                                                         CallStatus* status) {
  BufferArg id_arg(id);
  return call_method(handle, status, [&](VexraClient& client) {
    return client.remove(lift_string_arg("id", id_arg));
  });
}

VEXRA_EXPORT RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_list(void* handle,
                                                                           uint32_t offset,
                                                                           uint32_t limit,
                                                                           CallStatus* status) {
  return call_method(handle, status, [&](VexraClient& client) -> Outcome<ByteBuffer> {
    return lower_ids(client.list(offset, limit));
  });
}

VEXRA_EXPORT uint64_t uniffi_vexradb_bindings_fn_method_vexraclient_len(void* handle,
                                                                        CallStatus* status) {
  return call_method(handle, status,
                     [](VexraClient& client) -> Outcome<std::uint64_t> { return client.len(); });
}

VEXRA_EXPORT int8_t uniffi_vexradb_bindings_fn_method_vexraclient_is_empty(void* handle,
                                                                           CallStatus* status) {
  return call_method(handle, status,
                     [](VexraClient& client) -> Outcome<bool> { return client.is_empty(); });
}

VEXRA_EXPORT RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_search(void* handle,
                                                                             RustBuffer query,
                                                                             uint32_t k,
                                                                             CallStatus* status) {
  BufferArg query_arg(query);
  return call_method(handle, status, [&](VexraClient& client) {
    const std::vector<float> values = lift_arg("query", query_arg, lift_floats);
    return lowered(client.search(values, k, nullptr), lower_search_results);
  });
}

VEXRA_EXPORT RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_search_with_filter(
    void* handle, RustBuffer query, uint32_t k, RustBuffer filter, CallStatus* status) {
  BufferArg query_arg(query), filter_arg(filter);
  return call_method(handle, status, [&](VexraClient& client) {
    const std::vector<float> values = lift_arg("query", query_arg, lift_floats);
    return filtered_search(client, values, k,
                           filter_arg_of("filter", FilterForm::Record, filter_arg));
  });
}

VEXRA_EXPORT RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_stats(void* handle,
                                                                            CallStatus* status) {
  return call_method(handle, status, [](VexraClient& client) -> Outcome<ByteBuffer> {
    return lower_stats(client.stats());
  });
}

VEXRA_EXPORT void uniffi_vexradb_bindings_fn_method_vexraclient_sync(void* handle,
                                                                     CallStatus* status) {
  call_method(handle, status, [](VexraClient& client) { return client.sync(); });
}

VEXRA_EXPORT void uniffi_vexradb_bindings_fn_method_vexraclient_checkpoint(void* handle,
                                                                           CallStatus* status) {
  call_method(handle, status, [](VexraClient& client) { return client.checkpoint(); });
}

// ---- Extensions beyond the contract (declared under their own prefix in the header) ----------

VEXRA_EXPORT RustBuffer vexradb_ext_search_with_filter_json(void* handle, RustBuffer query,
                                                            uint32_t k, RustBuffer filter_json,
                                                            CallStatus* status) {
  BufferArg query_arg(query), filter_arg(filter_json);
  return call_method(handle, status, [&](VexraClient& client) {
    const std::vector<float> values = lift_arg("query", query_arg, lift_floats);
    return filtered_search(client, values, k,
                           filter_arg_of("filter_json", FilterForm::JsonText, filter_arg));
  });
}

VEXRA_EXPORT RustBuffer vexradb_ext_search_batch(void* handle, RustBuffer queries, uint32_t count,
                                                 uint32_t k, RustBuffer filter, uint32_t threads,
                                                 int8_t with_metadata, CallStatus* status) {
  BufferArg queries_arg(queries), filter_arg(filter);
  return call_method(handle, status, [&](VexraClient& client) {
    return batch_reply(client, queries_arg, count, k, filter_arg, threads, with_metadata != 0);
  });
}

VEXRA_EXPORT void* vexradb_ext_open_client(RustBuffer path, RustBuffer config, int8_t rescore,
                                           uint32_t oversampling, CallStatus* status) {
  return open_client(
      path, config,
      ClientOptions{
          .durable_quantization = true, .rescore = rescore != 0, .oversampling = oversampling},
      status);
}

}  // extern "C"
