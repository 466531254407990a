#pragma once

// Files the build puts at a fixed place relative to a test program are found from the program's
// own location: the test sources then carry no absolute path of the build tree, and a compiler
// cache reuses their objects in every clone.

#include <filesystem>

namespace vexradb::testing_support {

// `relative` taken from the directory of the running program (under qemu-user too, which
// answers /proc/self/exe with the emulated program).
inline std::filesystem::path beside_this_program(const std::filesystem::path& relative) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / relative;
}

}  // namespace vexradb::testing_support
