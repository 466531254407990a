#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vexradb::testing_support {

// A real data set from the shared data folder: base vectors and held-out queries.
struct Dataset {
  std::string name;
  std::size_t dimension = 0;
  std::vector<std::vector<float>> base;
  std::vector<std::vector<float>> queries;
};

// The shared data folder (the build passes its location); nothing when it is not there.
std::optional<std::string> data_dir();

// SIFT 5k, 128-d: the first 4,500 descriptors as base, the last 500 as queries.
std::optional<Dataset> load_sift();
// MNIST t10k, 784-d pixels as floats: the first 9,000 images as base, the last 1,000 as queries.
std::optional<Dataset> load_mnist();
// GloVe 4k, 50-d: the first 3,697 words as base, the last 500 as queries.
std::optional<Dataset> load_glove();

}  // namespace vexradb::testing_support
