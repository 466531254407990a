#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace vexradb {

// A binary max-heap under `Less`, with the classic hole-based sift-up on push and
// sift-down-to-the-bottom-then-up on pop.
//
// The graph walks return their result heap's storage order (stably sorted by distance), so for
// entries at exactly equal distances the order in which this heap keeps them is part of what a
// caller observes. The std:: heap algorithms leave that order unspecified; this one fixes it.
// `Less` need not be a strict weak order: incomparable entries (NaN distances) count as equal.
template <class T, class Less>
class BinaryHeap {
 public:
  BinaryHeap() = default;
  // An empty heap that reuses the capacity of `storage`.
  explicit BinaryHeap(std::vector<T>&& storage) noexcept : data_(std::move(storage)) {
    data_.clear();
  }

  bool empty() const noexcept { return data_.empty(); }
  std::size_t size() const noexcept { return data_.size(); }
  const T& top() const noexcept { return data_.front(); }

  void push(T item) {
    data_.push_back(std::move(item));
    sift_up(0, data_.size() - 1);
  }

  // Removes and returns the greatest entry. The heap must not be empty.
  T pop() {
    T item = std::move(data_.back());
    data_.pop_back();
    if (!data_.empty()) {
      std::swap(item, data_.front());
      sift_down_to_bottom(0);
    }
    return item;
  }

  // The entries in storage order; the heap is left empty.
  std::vector<T> take_storage() && noexcept { return std::move(data_); }

 private:
  // a <= b in the heap's order.
  bool at_most(const T& a, const T& b) const { return !less_(b, a); }

  void sift_up(std::size_t start, std::size_t pos) {
    T moving = std::move(data_[pos]);
    while (pos > start) {
      const std::size_t parent = (pos - 1) / 2;
      if (at_most(moving, data_[parent])) break;
      data_[pos] = std::move(data_[parent]);
      pos = parent;
    }
    data_[pos] = std::move(moving);
  }

  // Moves the hole at `pos` down to a leaf along the greater children, then sifts the displaced
  // entry back up: fewer comparisons than a plain sift-down, as the entry usually belongs low.
  void sift_down_to_bottom(std::size_t pos) {
    const std::size_t end = data_.size();
    const std::size_t start = pos;
    T moving = std::move(data_[pos]);
    std::size_t child = 2 * pos + 1;
    while (end >= 2 && child <= end - 2) {
      if (at_most(data_[child], data_[child + 1])) ++child;
      data_[pos] = std::move(data_[child]);
      pos = child;
      child = 2 * pos + 1;
    }
    if (child == end - 1) {
      data_[pos] = std::move(data_[child]);
      pos = child;
    }
    data_[pos] = std::move(moving);
    sift_up(start, pos);
  }

  std::vector<T> data_;
  [[no_unique_address]] Less less_;
};

}  // namespace vexradb
