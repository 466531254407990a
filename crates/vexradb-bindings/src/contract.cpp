// What generated bindings check when they load the library: the version of the calling
// conventions, one checksum per operation signature, and two metadata arrays for inspection tools.

#include <cstdint>

#include "export.hpp"
#include "vexradb_bindings.h"

extern "C" {

VEXRA_EXPORT uint32_t ffi_vexradb_bindings_uniffi_contract_version(void) { return 26; }

#define VEXRA_CHECKSUM(name, value) \
  VEXRA_EXPORT uint16_t uniffi_vexradb_bindings_checksum_##name(void) { return value; }

VEXRA_CHECKSUM(func_version, 0xE2AB)
VEXRA_CHECKSUM(func_system_info, 0x3E47)
VEXRA_CHECKSUM(constructor_vexraclient_new_in_memory, 0x6F50)
VEXRA_CHECKSUM(constructor_vexraclient_open, 0xC75D)
VEXRA_CHECKSUM(method_vexraclient_insert, 0x0C04)
VEXRA_CHECKSUM(method_vexraclient_upsert, 0xCDB6)
VEXRA_CHECKSUM(method_vexraclient_upsert_batch, 0x89B3)
VEXRA_CHECKSUM(method_vexraclient_get, 0xE96E)
VEXRA_CHECKSUM(method_vexraclient_delete, 0x17CC)
VEXRA_CHECKSUM(method_vexraclient_list, 0xFC50)
VEXRA_CHECKSUM(method_vexraclient_len, 0xB056)
VEXRA_CHECKSUM(method_vexraclient_is_empty, 0x8142)
VEXRA_CHECKSUM(method_vexraclient_search, 0xE6DB)
VEXRA_CHECKSUM(method_vexraclient_search_with_filter, 0xCC20)
VEXRA_CHECKSUM(method_vexraclient_stats, 0xFCE4)
VEXRA_CHECKSUM(method_vexraclient_sync, 0x7C4C)
VEXRA_CHECKSUM(method_vexraclient_checkpoint, 0x4D49)

#undef VEXRA_CHECKSUM

// Entry kind, then length-prefixed strings: component, namespace (and, for the interface
// definition, its file name).
VEXRA_EXPORT extern const uint8_t UNIFFI_META_NAMESPACE_VEXRADB[26] = {
    0x06,  // namespace
    16,   'v', 'e', 'x', 'r', 'a', 'd', 'b', '_', 'b', 'i', 'n', 'd', 'i', 'n', 'g', 's',  //
    7,    'v', 'e', 'x', 'r', 'a', 'd', 'b'};

VEXRA_EXPORT extern const uint8_t UNIFFI_META_UDL_VEXRADB[34] = {
    0x08,  // UDL file
    16,   'v', 'e', 'x', 'r', 'a', 'd', 'b', '_', 'b', 'i', 'n', 'd', 'i', 'n', 'g', 's',  //
    7,    'v', 'e', 'x', 'r', 'a', 'd', 'b',                                               //
    7,    'v', 'e', 'x', 'r', 'a', 'd', 'b'};

}  // extern "C"
