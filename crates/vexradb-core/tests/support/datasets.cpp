#include "datasets.hpp"

#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vexradb::testing_support {
namespace {

std::optional<std::string> file_in_data_dir(const std::string& relative) {
  const auto dir = data_dir();
  if (!dir) return std::nullopt;
  const std::string path = *dir + "/" + relative;
  if (!std::filesystem::exists(path)) return std::nullopt;
  return path;
}

Dataset split(std::string name, std::vector<std::vector<float>> vectors, std::size_t queries) {
  Dataset set;
  set.name = std::move(name);
  set.dimension = vectors.empty() ? 0 : vectors.front().size();
  const std::size_t base = vectors.size() - queries;
  set.base.assign(vectors.begin(), vectors.begin() + static_cast<std::ptrdiff_t>(base));
  set.queries.assign(vectors.begin() + static_cast<std::ptrdiff_t>(base), vectors.end());
  return set;
}

std::uint32_t big_endian_u32(const unsigned char* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

}  // namespace

std::optional<std::string> data_dir() {
  const std::string dir = VEXRA_DATA_DIR;
  if (!std::filesystem::is_directory(dir)) return std::nullopt;
  return dir;
}

std::optional<Dataset> load_sift() {
  const auto path = file_in_data_dir("sift-5k/sift-dataset-5k.tsv");
  if (!path) return std::nullopt;
  std::ifstream in(*path);
  std::vector<std::vector<float>> vectors;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<float> v(128);
    for (float& x : v) fields >> x;  // the 129th column, an id, is left unread
    if (!fields) return std::nullopt;
    vectors.push_back(std::move(v));
  }
  if (vectors.size() != 5000) return std::nullopt;
  return split("SIFT 5k (128-d, Euclidean)", std::move(vectors), 500);
}

std::optional<Dataset> load_mnist() {
  const auto path = file_in_data_dir("mnist-t10k/t10k-images-idx3-ubyte.gz");
  if (!path) return std::nullopt;
  gzFile file = gzopen(path->c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  unsigned char header[16];
  std::vector<unsigned char> pixels;
  bool ok =
      gzread(file, header, sizeof header) == sizeof header && big_endian_u32(header) == 0x00000803;
  const std::size_t count = ok ? big_endian_u32(header + 4) : 0;
  const std::size_t dim =
      ok ? std::size_t{big_endian_u32(header + 8)} * big_endian_u32(header + 12) : 0;
  if (ok && count == 10000 && dim == 784) {
    pixels.resize(count * dim);
    ok = gzread(file, pixels.data(), static_cast<unsigned>(pixels.size())) ==
         static_cast<int>(pixels.size());
  } else {
    ok = false;
  }
  gzclose(file);
  if (!ok) return std::nullopt;
  std::vector<std::vector<float>> vectors(count, std::vector<float>(dim));
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < dim; ++j) vectors[i][j] = pixels[i * dim + j];
  }
  return split("MNIST 10k (784-d, Euclidean)", std::move(vectors), 1000);
}

std::optional<Dataset> load_glove() {
  const auto path = file_in_data_dir("glove50-4k/glove50_4k.txt");
  if (!path) return std::nullopt;
  std::ifstream in(*path);
  std::string line;
  std::getline(in, line);  // "count dimension" header (it undercounts by one)
  std::vector<std::vector<float>> vectors;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string word;
    fields >> word;
    std::vector<float> v(50);
    for (float& x : v) fields >> x;
    if (!fields) return std::nullopt;
    vectors.push_back(std::move(v));
  }
  if (vectors.size() != 4197) return std::nullopt;
  return split("GloVe 4k (50-d, cosine)", std::move(vectors), 500);
}

}  // namespace vexradb::testing_support
