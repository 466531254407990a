#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"

namespace vexradb {

// A file that holds full-precision vectors at known byte offsets (a snapshot of the durable
// engine), read on demand.
class VectorFile {
 public:
  virtual ~VectorFile() = default;
  // Fills `out` with the floats stored at `offset` (IEEE-754 bit patterns, little-endian). Io
  // error when the read fails or the file ends before them: never a partial vector.
  virtual Status read(std::uint64_t offset, std::span<float> out) const = 0;
};

// The full-precision vectors of a quantized store, by internal id: held in memory, or left in a
// vector file at an offset (those a snapshot gave). A durable store keeps only the vectors stored
// since its newest snapshot in memory, and moves them to the file of the next one.
//
// Not synchronised: see the threading rule in engine.hpp.
class OriginalVectors {
 public:
  explicit OriginalVectors(std::size_t dimension) : dimension_(dimension) {}

  std::size_t size() const noexcept { return locations_.size(); }
  // Room for `count` more vectors held in memory: appending them then cannot fail to allocate.
  void reserve(std::size_t count);
  // The next internal id's vector, held in memory.
  void append(std::span<const float> vector);
  // The next internal id's vector, left at `offset` of `file`: every vector left in a file is in
  // the same one.
  void append_in_file(const std::shared_ptr<const VectorFile>& file, std::uint64_t offset);
  // The next internal id's vector is where internal id `id` of `from` is (held vectors are
  // copied).
  void append_from(const OriginalVectors& from, InternalId id);
  // Forgets the vectors from internal id `first` on.
  void truncate(std::size_t first) noexcept;
  // Every vector is now in `file`, internal id i at offsets[i]: the memory of held ones is freed.
  void move_to_file(std::shared_ptr<const VectorFile> file, std::vector<std::uint64_t> offsets);

  // The vector of `id`, if it is held in memory.
  std::optional<std::span<const float>> held(InternalId id) const;
  // Copies the vector of `id` into `out` (dimension floats), reading the file when it is there.
  Status read(InternalId id, std::span<float> out) const;
  // Bytes held: the vectors in memory and the location of each one.
  std::uint64_t memory_usage() const;

 private:
  // A location with this bit set is an index into held_ (in vectors); else a byte offset in file_.
  static constexpr std::uint64_t kHeld = std::uint64_t{1} << 63;

  std::size_t dimension_;
  std::shared_ptr<const VectorFile> file_;
  std::vector<std::uint64_t> locations_;
  std::vector<float> held_;
};

}  // namespace vexradb
