#include "internal_failure.hpp"

namespace vexradb {

void fail_internal(const char* file, int line, std::string_view detail) {
  std::string message(file);
  message += ':';
  message += std::to_string(line);
  message += ": ";
  message += detail;
  throw InternalFailure(std::move(message));
}

}  // namespace vexradb
