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
 * Usage: vexradb_call_overhead_bench [LIBRARY]
 * Prints the microseconds per call of each round and their median. */
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

/* One search as Client.search makes it; returns the number of hits. */
static int32_t search_once(void* handle, const float* query) {
  CallStatus status = fresh_status();
  void* clone = lib.clone(handle, &status);
  check(&status, "clone_vexraclient");
  RustBuffer query_buffer = lib.alloc(kVectorBytes, &status);
  check(&status, "rustbuffer_alloc");
  put_floats(query_buffer.data, query, kDimensions);
  RustBuffer reply = lib.search(clone, query_buffer, kK, &status);
  check(&status, "search");
  int32_t hits = -1;
  if (reply.len >= 4) {
    hits = (int32_t)(((uint32_t)reply.data[0] << 24) | ((uint32_t)reply.data[1] << 16) |
                     ((uint32_t)reply.data[2] << 8) | reply.data[3]);
  }
  lib.free_buffer(reply, &status);
  check(&status, "rustbuffer_free");
  return hits;
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

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    fprintf(stderr, "usage: %s [LIBRARY]\n", argv[0]);
    return 2;
  }
  const char* path = argc == 2 ? argv[1] : VEXRA_LIBRARY_PATH;
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
  if (!found) return 1;
  if (lib.contract_version() != 26) {
    fprintf(stderr, "the library speaks contract version %u, not 26\n", lib.contract_version());
    return 1;
  }

  /* Client.open("", dimensions=128, metric="euclidean", persistent=False): the path, then the
   * configuration (u32 dimensions, i32 metric 2 = Euclidean, i32 quantization 1 = none, the
   * persistent flag 0, no label). */
  const uint8_t config[] = {0, 0, 0, kDimensions, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0};
  CallStatus status = fresh_status();
  RustBuffer path_buffer = buffer_of("", 0);
  RustBuffer config_buffer = buffer_of(config, sizeof config);
  void* handle = lib.open(path_buffer, config_buffer, &status);
  check(&status, "constructor_vexraclient_open");

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
