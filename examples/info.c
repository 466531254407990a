/* Prints the library's version and build target through the exported C interface. */
#include <stdio.h>

#include "vexradb_bindings.h"

static int print_text(const char* label, RustBuffer (*call)(CallStatus*)) {
  CallStatus status = {0, {0, 0, NULL}};
  RustBuffer text = call(&status);
  if (status.code != 0) {
    fprintf(stderr, "%s failed with code %d\n", label, status.code);
    ffi_vexradb_bindings_rustbuffer_free(status.error_buf, &status);
    return 1;
  }
  printf("%s:\n%.*s\n", label, (int)text.len, (const char*)text.data);
  ffi_vexradb_bindings_rustbuffer_free(text, &status);
  return 0;
}

int main(void) {
  if (ffi_vexradb_bindings_uniffi_contract_version() != 26) {
    fprintf(stderr, "unexpected contract version\n");
    return 1;
  }
  int failed = print_text("version", uniffi_vexradb_bindings_fn_func_version);
  failed |= print_text("system_info", uniffi_vexradb_bindings_fn_func_system_info);
  return failed;
}
