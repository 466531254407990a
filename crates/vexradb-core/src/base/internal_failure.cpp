#include "base/internal_failure.hpp"

namespace vexradb {
namespace {

// The file as a path from the repository root. The build maps absolute source paths to that
// form; a compiler cache may instead hand the compiler paths relative to the build directory
// ("../../crates/..."), whose leading steps up are dropped here.
std::string_view path_from_repository(std::string_view file) {
  while (file.starts_with("../") || file.starts_with("./")) file.remove_prefix(file.find('/') + 1);
  return file;
}

}  // namespace

void fail_internal(const char* file, int line, std::string_view detail) {
  std::string message(path_from_repository(file));
  message += ':';
  message += std::to_string(line);
  message += ": ";
  message += detail;
  throw InternalFailure(std::move(message));
}

}  // namespace vexradb
