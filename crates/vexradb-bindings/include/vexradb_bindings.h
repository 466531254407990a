/*
 * The exported C interface of libvexradb_bindings.so.
 *
 * Every operation is a plain C function. Scalars pass by value; strings, optional values,
 * sequences, records and errors travel as serialised bytes in a RustBuffer (big-endian, 32-bit
 * length prefixes, 1-based variant numbers); the client object crosses as an opaque handle.
 *
 * Calling conventions shared by every function that takes a CallStatus*:
 *  - Before the call set status->code to 0 and status->error_buf to {0, 0, NULL}. The library
 *    writes the status only when the call fails; on success it is left as it was.
 *  - code 1: the operation returned an error; error_buf holds the serialised error (32-bit
 *    big-endian variant number, then the message as a length-prefixed string).
 *  - code 2: internal failure; error_buf holds the message as raw UTF-8 (no prefix, no NUL).
 *  - On failure the result is the zero value of its type (0, NULL, or {0, 0, NULL}).
 *  - Every RustBuffer argument is owned by the library from the moment of the call: never free
 *    or reuse it afterwards. Every RustBuffer result (and error_buf) is owned by the caller, who
 *    passes it back as an argument or releases it with ffi_vexradb_bindings_rustbuffer_free.
 *  - RustBuffers are always allocated by the library (rustbuffer_alloc, rustbuffer_from_bytes,
 *    rustbuffer_reserve or a result); foreign memory enters only through ForeignBytes.
 *  - Each method consumes one reference of the handle it is given: call
 *    uniffi_vexradb_bindings_fn_clone_vexraclient first and pass the clone.
 *
 * Every function may be called from any thread, concurrently, also on one handle.
 */
#ifndef VEXRADB_BINDINGS_H_
#define VEXRADB_BINDINGS_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes owned by the library. capacity 0 means no allocation, whatever data says. */
typedef struct RustBuffer {
  uint64_t capacity;
  uint64_t len;
  uint8_t* data;
} RustBuffer;

/* A read-only view of foreign memory, copied by ffi_vexradb_bindings_rustbuffer_from_bytes. */
typedef struct ForeignBytes {
  int32_t len;
  const uint8_t* data;
} ForeignBytes;

/* Outcome of one call; see the conventions above. */
typedef struct CallStatus {
  int8_t code;
  RustBuffer error_buf;
} CallStatus;

enum { VEXRADB_CALL_SUCCESS = 0, VEXRADB_CALL_ERROR = 1, VEXRADB_CALL_INTERNAL_FAILURE = 2 };

/* Continuation of the asynchronous-call family: (callback data, poll result). */
typedef void (*UniffiRustFutureContinuationCallback)(uint64_t data, int8_t poll_result);

/* ---- Contract version and per-operation checksums ---------------------------------------- */

uint32_t ffi_vexradb_bindings_uniffi_contract_version(void);

uint16_t uniffi_vexradb_bindings_checksum_func_version(void);
uint16_t uniffi_vexradb_bindings_checksum_func_system_info(void);
uint16_t uniffi_vexradb_bindings_checksum_constructor_vexraclient_new_in_memory(void);
uint16_t uniffi_vexradb_bindings_checksum_constructor_vexraclient_open(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_insert(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_upsert(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_upsert_batch(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_get(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_delete(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_list(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_len(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_is_empty(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_search(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_search_with_filter(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_stats(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_sync(void);
uint16_t uniffi_vexradb_bindings_checksum_method_vexraclient_checkpoint(void);

/* ---- Buffer management -------------------------------------------------------------------- */

/* A zero-filled buffer with len = capacity = size. */
RustBuffer ffi_vexradb_bindings_rustbuffer_alloc(uint64_t size, CallStatus* status);
/* A copy of the foreign bytes, len = capacity = bytes.len. */
RustBuffer ffi_vexradb_bindings_rustbuffer_from_bytes(ForeignBytes bytes, CallStatus* status);
void ffi_vexradb_bindings_rustbuffer_free(RustBuffer buf, CallStatus* status);
/* Takes `buf` back and returns it with room for at least `additional` more bytes; the old
 * address is invalid afterwards unless it is returned again. */
RustBuffer ffi_vexradb_bindings_rustbuffer_reserve(RustBuffer buf, uint64_t additional,
                                                   CallStatus* status);

/* ---- Free functions ----------------------------------------------------------------------- */

/* The library's version text. */
RustBuffer uniffi_vexradb_bindings_fn_func_version(CallStatus* status);
/* Three lines: product and version, build target ("Target: <arch>-linux"), features. */
RustBuffer uniffi_vexradb_bindings_fn_func_system_info(CallStatus* status);

/* ---- The client object -------------------------------------------------------------------- */

void* uniffi_vexradb_bindings_fn_clone_vexraclient(void* handle, CallStatus* status);
void uniffi_vexradb_bindings_fn_free_vexraclient(void* handle, CallStatus* status);

void* uniffi_vexradb_bindings_fn_constructor_vexraclient_new_in_memory(uint32_t dimensions,
                                                                       CallStatus* status);
void* uniffi_vexradb_bindings_fn_constructor_vexraclient_open(RustBuffer path, RustBuffer config,
                                                              CallStatus* status);

void uniffi_vexradb_bindings_fn_method_vexraclient_insert(void* handle, RustBuffer id,
                                                          RustBuffer vector,
                                                          RustBuffer metadata_json,
                                                          CallStatus* status);
void uniffi_vexradb_bindings_fn_method_vexraclient_upsert(void* handle, RustBuffer id,
                                                          RustBuffer vector,
                                                          RustBuffer metadata_json,
                                                          CallStatus* status);
void uniffi_vexradb_bindings_fn_method_vexraclient_upsert_batch(void* handle, RustBuffer entries,
                                                                CallStatus* status);
RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_get(void* handle, RustBuffer id,
                                                             CallStatus* status);
int8_t uniffi_vexradb_bindings_fn_method_vexraclient_delete(void* handle, RustBuffer id,
                                                            CallStatus* status);
RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_list(void* handle, uint32_t offset,
                                                              uint32_t limit, CallStatus* status);
uint64_t uniffi_vexradb_bindings_fn_method_vexraclient_len(void* handle, CallStatus* status);
int8_t uniffi_vexradb_bindings_fn_method_vexraclient_is_empty(void* handle, CallStatus* status);
RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_search(void* handle, RustBuffer query,
                                                                uint32_t k, CallStatus* status);
RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_search_with_filter(
    void* handle, RustBuffer query, uint32_t k, RustBuffer filter, CallStatus* status);
RustBuffer uniffi_vexradb_bindings_fn_method_vexraclient_stats(void* handle, CallStatus* status);
void uniffi_vexradb_bindings_fn_method_vexraclient_sync(void* handle, CallStatus* status);
void uniffi_vexradb_bindings_fn_method_vexraclient_checkpoint(void* handle, CallStatus* status);

/* ---- Asynchronous-call family ------------------------------------------------------------- */
/*
 * No operation of this interface is asynchronous, so no future handle is ever handed out; the
 * family exists because generated bindings look every symbol up when they load. Given any
 * handle, poll reports "ready" to the continuation at once, complete reports code 2, and cancel
 * and free do nothing.
 */
#define VEXRADB_DECLARE_FUTURE_FAMILY(tag, result_type)                                        \
  void ffi_vexradb_bindings_rust_future_poll_##tag(                                            \
      uint64_t handle, UniffiRustFutureContinuationCallback callback, uint64_t callback_data); \
  void ffi_vexradb_bindings_rust_future_cancel_##tag(uint64_t handle);                         \
  result_type ffi_vexradb_bindings_rust_future_complete_##tag(uint64_t handle,                 \
                                                              CallStatus* status);             \
  void ffi_vexradb_bindings_rust_future_free_##tag(uint64_t handle);

VEXRADB_DECLARE_FUTURE_FAMILY(u8, uint8_t)
VEXRADB_DECLARE_FUTURE_FAMILY(i8, int8_t)
VEXRADB_DECLARE_FUTURE_FAMILY(u16, uint16_t)
VEXRADB_DECLARE_FUTURE_FAMILY(i16, int16_t)
VEXRADB_DECLARE_FUTURE_FAMILY(u32, uint32_t)
VEXRADB_DECLARE_FUTURE_FAMILY(i32, int32_t)
VEXRADB_DECLARE_FUTURE_FAMILY(u64, uint64_t)
VEXRADB_DECLARE_FUTURE_FAMILY(i64, int64_t)
VEXRADB_DECLARE_FUTURE_FAMILY(f32, float)
VEXRADB_DECLARE_FUTURE_FAMILY(f64, double)
VEXRADB_DECLARE_FUTURE_FAMILY(pointer, void*)
VEXRADB_DECLARE_FUTURE_FAMILY(rust_buffer, RustBuffer)
VEXRADB_DECLARE_FUTURE_FAMILY(void, void)

#undef VEXRADB_DECLARE_FUTURE_FAMILY

/* ---- Extensions beyond the contract -------------------------------------------------------
 * Functions under the prefix vexradb_ext_ are additions of this library; generated bindings do
 * not know them, and the contract's functions above behave the same whether or not they are
 * used. They follow the same conventions (buffers, call status, error encoding).
 *
 * Every filter argument, of the exported search_with_filter as of the extensions, is converted
 * once per distinct bytes: the library keeps the 16 filters it converted most recently (up to
 * 1 MiB each) and reuses one when a call sends exactly its bytes again, so a caller that repeats
 * a filter of many values pays for its conversion once. Answers are the same either way.
 *
 * vexradb_ext_search_with_filter_json: as ..._method_vexraclient_search_with_filter, with the
 * filter given as UTF-8 JSON text, which can also express ranges, negation and a geographic
 * radius. One filter is one object:
 *   {"field": F, "eq": V}                  the field equals V
 *   {"field": F, "in": [V, ...]}           the field equals one of the values
 *   {"field": F, "gt": N, "lte": N, ...}   the field is a number within every bound given
 *                                          ("gt", "gte", "lt", "lte")
 *   {"field": F, "geo_radius": {"lat": N, "lon": N, "meters": N}}
 *                                          the field is a point ({"lat", "lon"} or [lat, lon] in
 *                                          degrees) at most N metres away
 *   {"and": [filter, ...]}, {"or": [filter, ...]}, {"not": filter}
 * F is a dot-separated path into the metadata. Text that is not such a filter fails with the
 * Serialization error ("filter: ..." or the JSON parser's message); nesting deeper than the
 * parser's limit (128 arrays and objects) is refused. The reply is encoded as the search's. */
RustBuffer vexradb_ext_search_with_filter_json(void* handle, RustBuffer query, uint32_t k,
                                               RustBuffer filter_json, CallStatus* status);

/* vexradb_ext_open_client: as ..._constructor_vexraclient_open, with two differences.
 * - The configuration's quantization applies to a persistent client too: a durable quantized
 *   client keeps the codes (and the graph for SQ8; binary codes are scanned) in memory, and the
 *   full-precision vectors in the directory, read when needed. The directory's files are the same
 *   whichever way it is opened, so it can be opened at full precision or quantized in turn.
 * - rescore (0 or 1): a quantized client re-ranks oversampling x k candidates by their exact
 *   distances (an in-memory one then also keeps its full-precision vectors in memory);
 *   oversampling 0 takes the default of its codes (2 for SQ8, 80 for binary). Full-precision
 *   clients ignore both.
 * The handle is released with ..._free_vexraclient, as the exported open's. */
void* vexradb_ext_open_client(RustBuffer path, RustBuffer config, int8_t rescore,
                              uint32_t oversampling, CallStatus* status);

/* vexradb_ext_search_batch: `count` searches in one call, spread over the library's worker
 * threads, with the answers packed for reading as arrays.
 * - queries: count rows of one length laid end to end, each component a little-endian IEEE-754
 *   32-bit float (a C-ordered (count, d) float32 array's bytes). Each row is searched as
 *   ..._method_vexraclient_search searches it (a row of the wrong length fails the batch with
 *   DimensionMismatch); bytes that do not split into count rows of at least one float are a
 *   conversion failure (code 2).
 * - filter: a kind byte, then the filter in that form: 0 none (nothing follows), 1 the exported
 *   SearchFilter record as ..._search_with_filter takes it, 2 a string (i32 length, UTF-8) of
 *   the JSON form vexradb_ext_search_with_filter_json takes. It is converted once for the batch.
 * - threads: how many threads search at most, the calling one among them; 0 takes every thread
 *   of the worker pool (one per processor).
 * - with_metadata (0 or 1): whether the reply carries each hit's metadata.
 * Each search takes the client's lock for readers on its own, as a loop of single searches
 * would, and finds what that search alone finds: the same ids, order and distances. The first
 * failing query (in query order) fails the batch with its error.
 *
 * The reply, all numbers little-endian, with m = count, H = the hits of all queries together:
 *   u32 m, u32 w           w: the row width, k or, when smaller, the number of vectors a search
 *                          can return (more when a write made meanwhile let a search find more)
 *   u32 found[m]           hits of each query
 *   f32 distances[m * w]   row by row, nearest first; places past a query's hits hold +infinity
 *   u64 id_end[H]          end offset of each hit's id in the id bytes, queries in order
 *   u8  ids[id_end[H-1]]   the ids' UTF-8 bytes, one after the other
 * and with_metadata adds:
 *   u8  has_metadata[H]    1 when the hit has metadata
 *   u64 metadata_end[H]    end offset of each hit's metadata text (unchanged where it has none)
 *   u8  metadata[...]      the metadata texts (compact JSON, UTF-8), one after the other */
RustBuffer vexradb_ext_search_batch(void* handle, RustBuffer queries, uint32_t count, uint32_t k,
                                    RustBuffer filter, uint32_t threads, int8_t with_metadata,
                                    CallStatus* status);

/* Keyword and hybrid search.
 *
 * vexradb_ext_set_text_index: builds a BM25 keyword index over string fields of the metadata of
 * every vector the client holds, and keeps it up to date through every later change (replaced
 * and deleted versions never answer). It lives in memory only: nothing is written to a durable
 * client's directory, so a reopened client calls it again. Calling it again replaces the index.
 * options_json is UTF-8 JSON text:
 *   {"fields": ["title", "body"], "language": "english", "k1": 1.2, "b": 0.75}
 * fields: 1 to 64 distinct dot-separated metadata paths; a value there that is not a string is
 * indexed as if absent. language (optional, null for none): a Snowball stemmer's name
 * ("english", "french", "german", ...). k1 (default 1.2, finite, not negative) and b (default
 * 0.75, within [0, 1]): the BM25 parameters. Malformed text or an unknown member fails with
 * Serialization; an invalid value (no fields, a field named twice, an unknown language, k1 or b
 * out of range) with InvalidParameter. Words are found by ICU's word breaking, cut again at every
 * character that is neither a letter, a number nor a combining mark, decomposed, stripped of
 * accents on Latin, Greek and Cyrillic letters and case folded; then stemmed with a language.
 *
 * vexradb_ext_text_search: the k documents that score best for text (UTF-8), best first, equal
 * scores in storage order, that pass filter_json when given (an optional string: a filter as
 * vexradb_ext_search_with_filter_json takes it). A document's score is
 *   sum over distinct query terms t of idf(t) * w * (k1 + 1) / (w + k1),
 *   w = sum over fields f of tf(t, f) / (1 - b + b * len(f) / avglen(f)),
 *   idf(t) = ln((N - n(t) + 0.5) / (n(t) + 0.5)), at least 1e-6,
 * where N counts the live documents with a string in some field, n(t) those holding t in any
 * field, len(f) is the document's token count in field f and avglen(f) its average over N.
 * Reply: i32 count, then per hit the id (string), the score (f64, big-endian IEEE 754) and the
 * metadata (optional string). Empty text fails with InvalidParameter, a client without a keyword
 * index with InvalidConfiguration; text without words finds nothing.
 *
 * vexradb_ext_hybrid_search: the vector search of query and the keyword search of text, each
 * taken to depth hits (with the filter, if any), fused by weighted reciprocal rank: a hit at rank
 * r (from 1) of a list earns weight / (constant + r) from it, the keyword list weighing
 * text_weight and the vector list 1 - text_weight. fusion_json (an optional string) sets any of
 *   {"depth": 50, "constant": 10, "text_weight": 0.95}
 * (depth 1 to 10000, at least k is used; constant finite, not negative; text_weight within
 * [0, 1]). The k largest sums win; equal sums go to the better keyword rank, then the better
 * vector rank, then the lower id bytes. Reply: i32 count, then per hit the id (string), the fused
 * score (f64), the vector rank and distance (optional: u32, f32), the keyword rank and score
 * (optional: u32, f64) and the metadata (optional string). Fails as either search would. */
void vexradb_ext_set_text_index(void* handle, RustBuffer options_json, CallStatus* status);
RustBuffer vexradb_ext_text_search(void* handle, RustBuffer text, uint32_t k,
                                   RustBuffer filter_json, CallStatus* status);
RustBuffer vexradb_ext_hybrid_search(void* handle, RustBuffer query, RustBuffer text, uint32_t k,
                                     RustBuffer filter_json, RustBuffer fusion_json,
                                     CallStatus* status);

/* ---- Metadata for inspection tools -------------------------------------------------------- */

extern const uint8_t UNIFFI_META_NAMESPACE_VEXRADB[26];
extern const uint8_t UNIFFI_META_UDL_VEXRADB[34];

#ifdef __cplusplus
}
#endif

#endif /* VEXRADB_BINDINGS_H_ */
