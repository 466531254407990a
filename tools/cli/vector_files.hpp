#pragma once
// Readers of the vector files `vexradb import` takes: NumPy .npy (a 2-D float32 or float64
// array in C order), .fvecs (each vector a little-endian int32 length and that many float32s)
// and JSON Lines (one object per line: "id", "vector" and optionally "metadata").
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "storage/vector_record.hpp"

namespace vexradb::cli {

class VectorSource {
 public:
  virtual ~VectorSource() = default;
  // The length of every vector in the file: from the header of .npy and .fvecs files, from the
  // first record of JSON Lines (0 until that is read, and for a file without vectors).
  virtual std::uint64_t dimensions() const = 0;
  // The next record; none at the end of the file. Serialization error naming the row or line at
  // fault, also for a vector whose length is not dimensions().
  virtual Result<std::optional<VectorRecord>> next() = 0;
  // Where the record next() gave last is in the file ("row 7", "line 12"), for messages.
  virtual std::string where() const = 0;
  // How far reading has come, in bytes of the file, for a progress display.
  virtual std::uint64_t position() const = 0;
  virtual std::uint64_t size() const = 0;
};

// Opens a file by its extension. Vectors of .npy and .fvecs files have no ids: they are named
// `id_prefix` followed by their row number from 0.
Result<std::unique_ptr<VectorSource>> open_vector_file(const std::filesystem::path& path,
                                                       const std::string& id_prefix);

}  // namespace vexradb::cli
