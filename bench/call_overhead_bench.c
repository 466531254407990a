/* The time of one search call through the exported C interface, made from C on a database of one
 * vector, where the library's own work is negligible: the floor under what any caller of the
 * interface pays per call. bench/python_bench.py runs it beside the same call from Python, so the
 * difference is what the Python package adds.
 *
 * Each call does what the Python package's Client.search does at the interface: a fresh clone of
 * the handle (every method consumes one reference), the query encoded into a buffer from
 * ffi_vexradb_bindings_rustbuffer_alloc (a 32-bit count, then big-endian f32s), k = 10, a fresh
 * call status, and the reply released with ffi_vexradb_bindings_rustbuffer_free. The database is
 * the one python_bench.py measures: 128 dimensions, Euclidean, full precision, in memory.
 *
 * The library is opened at run time from the path given, by default the one built beside this
 * program, so that both figures can come from the same library file.
 *
 * With --loop it measures instead a loop of searches over real data, the figure the batch search
 * of bench/python_search_bench.py is held against: it loads BASE (rows of DIMENSIONS
 * little-endian float32, ids "0", "1", ... in order) with one exported upsert_batch, as the same
 * batch from Python does (the levels of the graph's nodes are drawn at random, so the two graphs
 * differ in detail but not in quality), then searches every row of QUERIES with k = 10
 * in a loop on this thread, taking turns with the same queries in one call of the batch search
 * (vexradb_ext_search_batch) on 1 and on 2 threads, on the same graph: the fastest of 5 rounds.
 * --loop-dir does the same on the data directory DIRECTORY, opened as a durable client (Euclidean),
 * whose graph its newest snapshot holds: a Python process can then search the very same graph.
 *
 * Usage: vexradb_call_overhead_bench [LIBRARY]
 *        vexradb_call_overhead_bench LIBRARY --loop BASE QUERIES DIMENSIONS
 *        vexradb_call_overhead_bench LIBRARY --loop-dir DIRECTORY QUERIES DIMENSIONS
 * Prints the microseconds per call of each round and their median; with --loop, the queries per
 * second and the sum of every hit's distance (which tells how alike the two graphs answer). */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, dlopen */

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vexradb_bindings.h"

#ifndef VEXRA_LIBRARY_PATH
#define VEXRA_LIBRARY_PATH "libvexradb_bindings.so"
#endif

enum { kDimensions = 128, kK = 10, kCalls = 20000, kRounds = 7 };

/* The interface's functions, typed after their declarations in the header. */
static struct {
  __typeof__(&ffi_vexradb_bindings_uniffi_contract_version) contract_version;
  __typeof__(&ffi_vexradb_bindings_rustbuffer_alloc) alloc;
  __typeof__(&ffi_vexradb_bindings_rustbuffer_free) free_buffer;
  __typeof__(&uniffi_vexradb_bindings_fn_constructor_vexraclient_open) open;
  __typeof__(&uniffi_vexradb_bindings_fn_clone_vexraclient) clone;
  __typeof__(&uniffi_vexradb_bindings_fn_free_vexraclient) free_client;
  __typeof__(&uniffi_vexradb_bindings_fn_method_vexraclient_upsert) upsert;
  __typeof__(&uniffi_vexradb_bindings_fn_method_vexraclient_search) search;
  __typeof__(&uniffi_vexradb_bindings_fn_method_vexraclient_upsert_batch) upsert_batch;
  __typeof__(&vexradb_ext_search_batch) search_batch;
} lib;

/* Looks `name` up into the function pointer at `slot` (copied: ISO C has no cast from an object
 * pointer to a function pointer). */
static int resolve(void* library, const char* name, void* slot, size_t size) {
  void* symbol = dlsym(library, name);
  if (symbol == NULL) {
    fprintf(stderr, "the library has no function %s\n", name);
    return 0;
  }
  memcpy(slot, &symbol, size);
  return 1;
}

#define RESOLVE(library, field, name) resolve(library, name, &lib.field, sizeof lib.field)

static CallStatus fresh_status(void) {
  CallStatus status = {0, {0, 0, NULL}};
  return status;
}

/* Reports a failed call with its message and exits. */
static void check(CallStatus* status, const char* what) {
  if (status->code == 0) return;
  const RustBuffer error = status->error_buf;
  const uint8_t* message = error.data;
  uint64_t length = error.len;
  if (status->code == 1 && length >= 8) {  // the error's variant number, then its message
    message += 8;
    length -= 8;
  }
  fprintf(stderr, "%s failed (code %d): %.*s\n", what, status->code, (int)length,
          (const char*)message);
  CallStatus ignored = fresh_status();
  lib.free_buffer(error, &ignored);
  exit(1);
}

static RustBuffer buffer_of(const void* data, size_t size) {
  CallStatus status = fresh_status();
  RustBuffer buffer = lib.alloc(size, &status);
  check(&status, "rustbuffer_alloc");
  if (size > 0) memcpy(buffer.data, data, size);
  return buffer;
}

static void put_u32(uint8_t* out, uint32_t value) {
  out[0] = (uint8_t)(value >> 24);
  out[1] = (uint8_t)(value >> 16);
  out[2] = (uint8_t)(value >> 8);
  out[3] = (uint8_t)value;
}

/* A float sequence as the interface encodes it, written to `out` (4 + 4 * count bytes). */
static void put_floats(uint8_t* out, const float* values, uint32_t count) {
  put_u32(out, count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t bits;
    memcpy(&bits, &values[i], sizeof bits);
    put_u32(out + 4 + 4 * i, bits);
  }
}

enum { kVectorBytes = 4 + 4 * kDimensions };

static uint32_t get_u32(const uint8_t* in) {
  return ((uint32_t)in[0] << 24) | ((uint32_t)in[1] << 16) | ((uint32_t)in[2] << 8) | in[3];
}

/* One search of a `dimensions`-long query as Client.search makes it; returns the number of hits
 * and adds their distances to *distance_sum when it is given. */
static int32_t search_with(void* handle, const float* query, uint32_t dimensions,
                           double* distance_sum) {
  CallStatus status = fresh_status();
  void* clone = lib.clone(handle, &status);
  check(&status, "clone_vexraclient");
  RustBuffer query_buffer = lib.alloc(4 + 4 * (uint64_t)dimensions, &status);
  check(&status, "rustbuffer_alloc");
  put_floats(query_buffer.data, query, dimensions);
  RustBuffer reply = lib.search(clone, query_buffer, kK, &status);
  check(&status, "search");
  int32_t hits = -1;
  if (reply.len >= 4) hits = (int32_t)get_u32(reply.data);
  /* Each hit: the id (length, bytes), the distance, the metadata's option tag (and text). */
  const uint8_t* at = reply.data + 4;
  for (int32_t i = 0; distance_sum != NULL && i < hits; ++i) {
    at += 4 + get_u32(at);
    const uint32_t bits = get_u32(at);
    float distance;
    memcpy(&distance, &bits, sizeof distance);
    *distance_sum += distance;
    at += 4;
    at += *at == 1 ? 5 + get_u32(at + 1) : 1;
  }
  lib.free_buffer(reply, &status);
  check(&status, "rustbuffer_free");
  return hits;
}

static int32_t search_once(void* handle, const float* query) {
  return search_with(handle, query, kDimensions, NULL);
}

static double seconds_now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + 1e-9 * (double)now.tv_nsec;
}

static int by_value(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

/* Reproducible values in [-1, 1). */
static void fill(float* values, uint32_t count, uint32_t seed) {
  for (uint32_t i = 0; i < count; ++i) {
    seed = seed * 1664525u + 1013904223u;
    values[i] = (float)(seed >> 8) / (float)(1u << 23) - 1.0f;
  }
}

/* The rows of a file of little-endian float32 values, `dimensions` per row; exits on failure. */
static float* read_rows(const char* path, uint32_t dimensions, uint32_t* rows) {
  FILE* file = fopen(path, "rb");
  if (file == NULL || fseek(file, 0, SEEK_END) != 0) {
    fprintf(stderr, "cannot read %s\n", path);
    exit(1);
  }
  const long size = ftell(file);
  rewind(file);
  const size_t row_bytes = 4 * (size_t)dimensions;
  if (size <= 0 || (size_t)size % row_bytes != 0) {
    fprintf(stderr, "%s does not hold rows of %u float32 values\n", path, dimensions);
    exit(1);
  }
  float* values = malloc((size_t)size);
  if (values == NULL || fread(values, 1, (size_t)size, file) != (size_t)size) {
    fprintf(stderr, "cannot read %s\n", path);
    exit(1);
  }
  fclose(file);
  *rows = (uint32_t)((size_t)size / row_bytes);
  return values;
}

/* Loads BASE (rows of `dimensions` float32) with one upsert_batch: ids "0", "1", ..., no
 * metadata. */
static void load_base(void* handle, const char* base_path, uint32_t dimensions) {
  uint32_t count;
  float* base = read_rows(base_path, dimensions, &count);
  /* The batch: i32 count, then each entry's id (i32 length, digits), vector (i32 count, floats)
   * and metadata's option tag (0: none). */
  const size_t entry_bytes = 4 + 10 + 4 + 4 * (size_t)dimensions + 1;
  uint8_t* entries = malloc(4 + (size_t)count * entry_bytes);
  if (entries == NULL) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  uint8_t* at = entries;
  put_u32(at, count);
  at += 4;
  for (uint32_t i = 0; i < count; ++i) {
    char id[16];
    const int length = snprintf(id, sizeof id, "%u", i);
    put_u32(at, (uint32_t)length);
    memcpy(at + 4, id, (size_t)length);
    at += 4 + length;
    put_floats(at, base + (size_t)i * dimensions, dimensions);
    at += 4 + 4 * (size_t)dimensions;
    *at++ = 0;
  }
  CallStatus status = fresh_status();
  void* clone = lib.clone(handle, &status);
  check(&status, "clone_vexraclient");
  lib.upsert_batch(clone, buffer_of(entries, (size_t)(at - entries)), &status);
  check(&status, "upsert_batch");
  free(entries);
  free(base);
}

/* Times a loop of searches of every row of QUERIES against the batch call. */
static int search_loop(void* handle, const char* queries_path, uint32_t dimensions) {
  uint32_t query_count;
  float* queries = read_rows(queries_path, dimensions, &query_count);
  CallStatus status = fresh_status();
  /* The loop and the batch call on 1 and 2 threads take turns, round by round, so that all three
   * meet the same load; the fastest round of each counts. */
  double best[3] = {1e300, 1e300, 1e300}, distance_sum = 0;
  const uint8_t no_filter = 0;
  for (int round = 0; round < 5; ++round) {
    distance_sum = 0;
    double start = seconds_now();
    for (uint32_t q = 0; q < query_count; ++q) {
      search_with(handle, queries + (size_t)q * dimensions, dimensions, &distance_sum);
    }
    double seconds = seconds_now() - start;
    if (seconds < best[0]) best[0] = seconds;
    for (uint32_t threads = 1; threads <= 2; ++threads) {
      start = seconds_now();
      void* batch_clone = lib.clone(handle, &status);
      check(&status, "clone_vexraclient");
      RustBuffer reply =
          lib.search_batch(batch_clone, buffer_of(queries, 4 * (size_t)query_count * dimensions),
                           query_count, kK, buffer_of(&no_filter, 1), threads, 0, &status);
      check(&status, "search_batch");
      lib.free_buffer(reply, &status);
      seconds = seconds_now() - start;
      if (seconds < best[threads]) best[threads] = seconds;
    }
  }
  printf("loop of %u searches from C, k=%d: %.0f queries/s; distance sum %.6f\n", query_count, kK,
         query_count / best[0], distance_sum);
  for (uint32_t threads = 1; threads <= 2; ++threads) {
    printf("batch search call from C on %u thread%s: %.0f queries/s\n", threads,
           threads == 1 ? "" : "s", query_count / best[threads]);
  }
  free(queries);
  return 0;
}

int main(int argc, char** argv) {
  const int load = argc == 6 && strcmp(argv[2], "--loop") == 0;
  const int reopen = argc == 6 && strcmp(argv[2], "--loop-dir") == 0;
  const int loop = load || reopen;
  if (!loop && (argc > 2 || (argc == 2 && argv[1][0] == '-'))) {
    fprintf(stderr,
            "usage: %s [LIBRARY]\n       %s LIBRARY --loop BASE QUERIES DIMENSIONS\n       %s "
            "LIBRARY --loop-dir DIRECTORY QUERIES DIMENSIONS\n",
            argv[0], argv[0], argv[0]);
    return 2;
  }
  const char* path = argc >= 2 ? argv[1] : VEXRA_LIBRARY_PATH;
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "cannot open the library: %s\n", dlerror());
    return 1;
  }
  int found = RESOLVE(library, contract_version, "ffi_vexradb_bindings_uniffi_contract_version");
  found &= RESOLVE(library, alloc, "ffi_vexradb_bindings_rustbuffer_alloc");
  found &= RESOLVE(library, free_buffer, "ffi_vexradb_bindings_rustbuffer_free");
  found &= RESOLVE(library, open, "uniffi_vexradb_bindings_fn_constructor_vexraclient_open");
  found &= RESOLVE(library, clone, "uniffi_vexradb_bindings_fn_clone_vexraclient");
  found &= RESOLVE(library, free_client, "uniffi_vexradb_bindings_fn_free_vexraclient");
  found &= RESOLVE(library, upsert, "uniffi_vexradb_bindings_fn_method_vexraclient_upsert");
  found &= RESOLVE(library, search, "uniffi_vexradb_bindings_fn_method_vexraclient_search");
  found &=
      RESOLVE(library, upsert_batch, "uniffi_vexradb_bindings_fn_method_vexraclient_upsert_batch");
  found &= RESOLVE(library, search_batch, "vexradb_ext_search_batch");
  if (!found) return 1;
  if (lib.contract_version() != 26) {
    fprintf(stderr, "the library speaks contract version %u, not 26\n", lib.contract_version());
    return 1;
  }

  /* Client.open("", dimensions=..., metric="euclidean", persistent=False): the path, then the
   * configuration (u32 dimensions, i32 metric 2 = Euclidean, i32 quantization 1 = none, the
   * persistent flag 0, no label). */
  const uint32_t dimensions = loop ? (uint32_t)strtoul(argv[5], NULL, 10) : kDimensions;
  uint8_t config[] = {0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0};
  put_u32(config, dimensions);
  config[12] = reopen ? 1 : 0; /* --loop-dir opens the directory as a durable client */
  CallStatus status = fresh_status();
  RustBuffer path_buffer = reopen ? buffer_of(argv[3], strlen(argv[3])) : buffer_of("", 0);
  RustBuffer config_buffer = buffer_of(config, sizeof config);
  void* handle = lib.open(path_buffer, config_buffer, &status);
  check(&status, "constructor_vexraclient_open");
  if (loop) {
    if (load) load_base(handle, argv[3], dimensions);
    const int result = search_loop(handle, argv[4], dimensions);
    lib.free_client(handle, &status);
    return result;
  }

  float vector[kDimensions], query[kDimensions];
  fill(vector, kDimensions, 1);
  fill(query, kDimensions, 2);
  uint8_t encoded[kVectorBytes];
  put_floats(encoded, vector, kDimensions);
  const uint8_t no_metadata = 0;
  void* clone = lib.clone(handle, &status);
  check(&status, "clone_vexraclient");
  RustBuffer id = buffer_of("only", 4);
  RustBuffer vector_buffer = buffer_of(encoded, sizeof encoded);
  RustBuffer metadata = buffer_of(&no_metadata, 1);
  lib.upsert(clone, id, vector_buffer, metadata, &status);
  check(&status, "upsert");

  if (search_once(handle, query) != 1) {
    fprintf(stderr, "a search of a database of one vector did not find it\n");
    return 1;
  }
  for (int i = 0; i < kCalls; ++i) search_once(handle, query); /* warm-up */
  double per_call[kRounds];
  printf("search from C, %d rounds of %d calls (us per call):", kRounds, kCalls);
  for (int round = 0; round < kRounds; ++round) {
    const double start = seconds_now();
    for (int i = 0; i < kCalls; ++i) search_once(handle, query);
    per_call[round] = 1e6 * (seconds_now() - start) / kCalls;
    printf(" %.3f", per_call[round]);
  }
  qsort(per_call, kRounds, sizeof per_call[0], by_value);
  printf("\nmedian: %.3f us per call\n", per_call[kRounds / 2]);

  lib.free_client(handle, &status);
  check(&status, "free_vexraclient");
  return 0;
}
