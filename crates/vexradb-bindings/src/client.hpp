#pragma once

#include "shared_record.hpp"

namespace vexradb::ffi {

// The object a foreign program holds through a handle. It grows its engine and the lock that
// guards it with the client operations.
class VexraClient {};

using ClientRecord = SharedRecord<VexraClient>;

}  // namespace vexradb::ffi
