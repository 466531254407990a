#include "storage/original_vectors.hpp"

#include <algorithm>
#include <utility>

#include "base/internal_failure.hpp"
#include "base/reserve_more.hpp"

namespace vexradb {

void OriginalVectors::reserve(std::size_t count) {
  reserve_more(locations_, count);
  reserve_more(held_, count * dimension_);
}

void OriginalVectors::append(std::span<const float> vector) {
  locations_.push_back(kHeld | (held_.size() / dimension_));
  held_.insert(held_.end(), vector.begin(), vector.end());
}

void OriginalVectors::append_in_file(const std::shared_ptr<const VectorFile>& file,
                                     std::uint64_t offset) {
  VEXRA_CHECK(offset < kHeld, "a vector's offset in its file is below 2^63");
  VEXRA_CHECK(file_ == nullptr || file_ == file, "vectors left in a file are all in one");
  file_ = file;
  locations_.push_back(offset);
}

void OriginalVectors::append_from(const OriginalVectors& from, InternalId id) {
  const std::uint64_t location = from.locations_[id];
  if (location & kHeld) {
    append(*from.held(id));
  } else {
    append_in_file(from.file_, location);
  }
}

void OriginalVectors::truncate(std::size_t first) noexcept {
  if (first >= locations_.size()) return;
  // Held vectors are appended in id order, so those of the ids dropped are at the end.
  const auto first_held =
      std::find_if(locations_.begin() + static_cast<std::ptrdiff_t>(first), locations_.end(),
                   [](std::uint64_t location) { return location & kHeld; });
  if (first_held != locations_.end()) held_.resize((*first_held & ~kHeld) * dimension_);
  locations_.resize(first);
}

void OriginalVectors::move_to_file(std::shared_ptr<const VectorFile> file,
                                   std::vector<std::uint64_t> offsets) {
  VEXRA_CHECK(offsets.size() == locations_.size(), "a moved vector has an offset");
  file_ = std::move(file);
  locations_ = std::move(offsets);
  held_.clear();
  held_.shrink_to_fit();
}

std::optional<std::span<const float>> OriginalVectors::held(InternalId id) const {
  if (id >= locations_.size() || !(locations_[id] & kHeld)) return std::nullopt;
  return std::span(held_).subspan((locations_[id] & ~kHeld) * dimension_, dimension_);
}

Status OriginalVectors::read(InternalId id, std::span<float> out) const {
  VEXRA_CHECK(id < locations_.size() && out.size() == dimension_,
              "an original is read whole, for a stored id");
  if (const auto vector = held(id)) {
    std::copy(vector->begin(), vector->end(), out.begin());
    return {};
  }
  return file_->read(locations_[id], out);
}

std::uint64_t OriginalVectors::memory_usage() const {
  return sizeof(float) * held_.size() + sizeof(std::uint64_t) * locations_.size();
}

}  // namespace vexradb
