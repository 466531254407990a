#include "base/error.hpp"

#include <cstring>

namespace vexradb::errors {

Io Io::from_errno(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in `buffer`.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return Io{code, std::string(text) + " (os error " + std::to_string(code) + ")"};
}

}  // namespace vexradb::errors
