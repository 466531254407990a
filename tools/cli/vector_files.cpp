#include "vector_files.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>

#include "metadata/json.hpp"
#include "vector_json.hpp"

namespace vexradb::cli {
namespace {

// Far above any real embedding, and small enough that a damaged length cannot make us reserve
// gigabytes for one row.
constexpr std::uint64_t kMaxDimensions = 1u << 16;

tl::unexpected<Error> bad_file(const std::filesystem::path& path, const std::string& what) {
  return fail(errors::Serialization{path.filename().string() + ": " + what});
}

// A file read sequentially, tracking the offset for progress and error messages.
class InputFile {
 public:
  static Result<InputFile> open(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(errors::Io{errno, "cannot open " + path.string()});
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(path, error);
    if (error) return fail(errors::Io::from_errno(error.value()));
    return InputFile(std::move(in), size);
  }

  bool read(void* out, std::size_t bytes) {
    if (bytes > size_ - position_) return false;
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(bytes));
    if (!in_) return false;
    position_ += bytes;
    return true;
  }
  bool read_line(std::string& line) {
    if (!std::getline(in_, line)) return false;
    position_ = std::min<std::uint64_t>(size_, position_ + line.size() + 1);
    return true;
  }
  std::uint64_t position() const noexcept { return position_; }
  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t remaining() const noexcept { return size_ - position_; }

 private:
  InputFile(std::ifstream in, std::uint64_t size) : in_(std::move(in)), size_(size) {}
  std::ifstream in_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
};

// Rows of a fixed width, as .npy and .fvecs files hold them.
class RowSource : public VectorSource {
 public:
  std::uint64_t dimensions() const override { return dimensions_; }
  std::uint64_t position() const override { return file_.position(); }
  std::uint64_t size() const override { return file_.size(); }

  Result<std::optional<VectorRecord>> next() override {
    if (next_row_ == rows_) return std::optional<VectorRecord>();
    std::vector<float> vector(dimensions_);
    if (auto ok = read_row(vector); !ok) return fail(std::move(ok).error());
    VectorRecord record{VectorId(id_prefix_ + std::to_string(next_row_)), std::move(vector),
                        std::nullopt};
    ++next_row_;
    return std::optional<VectorRecord>(std::move(record));
  }
  std::string where() const override { return "row " + std::to_string(next_row_ - 1); }

 protected:
  RowSource(std::filesystem::path path, InputFile file, std::string id_prefix)
      : path_(std::move(path)), file_(std::move(file)), id_prefix_(std::move(id_prefix)) {}
  // Reads the row next_row_ into `vector`, which has dimensions_ components.
  virtual Status read_row(std::vector<float>& vector) = 0;

  tl::unexpected<Error> bad_row(const std::string& what) const {
    return bad_file(path_, "row " + std::to_string(next_row_) + ": " + what);
  }

  std::filesystem::path path_;
  InputFile file_;
  std::string id_prefix_;
  std::uint64_t dimensions_ = 0;
  std::uint64_t rows_ = 0;
  std::uint64_t next_row_ = 0;
};

// NumPy's format, version 1 to 3: the magic "\x93NUMPY", two version bytes, the header's length
// (2 bytes in version 1, 4 after), then a Python dict literal naming the dtype, the order and
// the shape. Debian packages no C++ reader of it, and the part we need is this small.
class NpySource final : public RowSource {
 public:
  static Result<std::unique_ptr<VectorSource>> open(const std::filesystem::path& path,
                                                    InputFile file, std::string id_prefix) {
    std::unique_ptr<NpySource> source(new NpySource(path, std::move(file), std::move(id_prefix)));
    if (auto ok = source->read_header(); !ok) return fail(std::move(ok).error());
    return std::unique_ptr<VectorSource>(std::move(source));
  }

 private:
  using RowSource::RowSource;

  Status read_header() {
    std::array<char, 8> lead;
    if (!file_.read(lead.data(), lead.size()) ||
        std::string_view(lead.data(), 6) != std::string_view("\x93NUMPY", 6))
      return bad_file(path_, "not a .npy file");
    const int major = lead[6];
    std::uint32_t header_length = 0;
    if (major == 1) {
      std::uint16_t length;
      if (!file_.read(&length, sizeof length)) return bad_file(path_, "header cut short");
      header_length = length;
    } else if (major == 2 || major == 3) {
      if (!file_.read(&header_length, sizeof header_length))
        return bad_file(path_, "header cut short");
    } else {
      return bad_file(path_, "unsupported .npy version " + std::to_string(major));
    }
    // The length is the file's word: check it against the bytes there before allocating for it.
    if (header_length > file_.remaining()) {
      return bad_file(path_, "the header's length is " + std::to_string(header_length) +
                                 " bytes, but only " + std::to_string(file_.remaining()) +
                                 " follow it");
    }
    std::string header(header_length, '\0');
    if (!file_.read(header.data(), header.size())) return bad_file(path_, "header cut short");
    return parse_header(header);
  }

  Status parse_header(std::string_view header) {
    const std::optional<std::string_view> descr = quoted_value(header, "descr");
    if (descr == "<f4") {
      element_bytes_ = 4;
    } else if (descr == "<f8") {
      element_bytes_ = 8;
    } else {
      return bad_file(path_,
                      "the array must hold little-endian float32 or float64 ('<f4' or "
                      "'<f8'), not " +
                          std::string(descr.value_or("?")));
    }
    if (header.find("'fortran_order': False") == std::string_view::npos)
      return bad_file(path_, "the array must be in C order (fortran_order False)");
    const std::size_t open = header.find("'shape': (");
    if (open == std::string_view::npos) return bad_file(path_, "the header has no shape");
    std::string_view shape = header.substr(open + 10);
    shape = shape.substr(0, shape.find(')'));
    std::uint64_t extents[2];
    int count = 0;
    for (std::size_t start = 0; start < shape.size() && count <= 2;) {
      std::size_t end = shape.find(',', start);
      if (end == std::string_view::npos) end = shape.size();
      std::string_view item = shape.substr(start, end - start);
      while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
      if (!item.empty()) {
        if (count == 2) return bad_file(path_, "the array must be 2-D (n, d)");
        const auto [ptr, ec] =
            std::from_chars(item.data(), item.data() + item.size(), extents[count]);
        if (ec != std::errc() || ptr != item.data() + item.size())
          return bad_file(path_, "the shape is not readable");
        ++count;
      }
      start = end + 1;
    }
    if (count != 2) return bad_file(path_, "the array must be 2-D (n, d)");
    rows_ = extents[0];
    dimensions_ = extents[1];
    if (dimensions_ == 0 || dimensions_ > kMaxDimensions)
      return bad_file(path_, "vectors of " + std::to_string(dimensions_) + " components");
    if (rows_ > file_.remaining() / (dimensions_ * element_bytes_))
      return bad_file(path_, "the data is shorter than the shape says");
    return {};
  }

  static std::optional<std::string_view> quoted_value(std::string_view header,
                                                      std::string_view key) {
    // Appended rather than concatenated: g++ 12 at -O3 warns falsely (-Wrestrict) on the latter.
    std::string pattern = "'";
    pattern.append(key).append("': '");
    const std::size_t at = header.find(pattern);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t start = at + pattern.size();
    const std::size_t end = header.find('\'', start);
    if (end == std::string_view::npos) return std::nullopt;
    return header.substr(start, end - start);
  }

  Status read_row(std::vector<float>& vector) override {
    if (element_bytes_ == 4) {
      if (!file_.read(vector.data(), vector.size() * 4)) return bad_row("cut short");
      return {};
    }
    std::vector<double> wide(vector.size());
    if (!file_.read(wide.data(), wide.size() * 8)) return bad_row("cut short");
    std::transform(wide.begin(), wide.end(), vector.begin(),
                   [](double value) { return static_cast<float>(value); });
    return {};
  }

  std::uint64_t element_bytes_ = 4;
};

class FvecsSource final : public RowSource {
 public:
  static Result<std::unique_ptr<VectorSource>> open(const std::filesystem::path& path,
                                                    InputFile file, std::string id_prefix) {
    std::unique_ptr<FvecsSource> source(
        new FvecsSource(path, std::move(file), std::move(id_prefix)));
    if (source->file_.size() > 0) {
      std::int32_t length = 0;
      if (!source->file_.read(&length, sizeof length)) return bad_file(path, "cut short");
      if (length <= 0 || static_cast<std::uint64_t>(length) > kMaxDimensions)
        return bad_file(path, "vectors of " + std::to_string(length) + " components");
      source->dimensions_ = static_cast<std::uint64_t>(length);
      const std::uint64_t row_bytes = 4 + 4 * source->dimensions_;
      if (source->file_.size() % row_bytes != 0)
        return bad_file(path, "its size is not a whole number of " + std::to_string(length) +
                                  "-component vectors");
      source->rows_ = source->file_.size() / row_bytes;
      source->length_read_ = true;
    }
    return std::unique_ptr<VectorSource>(std::move(source));
  }

 private:
  using RowSource::RowSource;

  Status read_row(std::vector<float>& vector) override {
    if (!length_read_) {
      std::int32_t length = 0;
      if (!file_.read(&length, sizeof length)) return bad_row("cut short");
      if (static_cast<std::uint64_t>(length) != dimensions_) {
        return bad_row("its length field says " + std::to_string(length) +
                       " components, the first row's " + std::to_string(dimensions_));
      }
    }
    length_read_ = false;
    if (!file_.read(vector.data(), vector.size() * 4)) return bad_row("cut short");
    return {};
  }

  bool length_read_ = false;  // the first row's length was read to learn the dimension
};

class JsonLinesSource final : public VectorSource {
 public:
  JsonLinesSource(std::filesystem::path path, InputFile file)
      : path_(std::move(path)), file_(std::move(file)) {}

  std::uint64_t dimensions() const override { return dimensions_; }
  std::uint64_t position() const override { return file_.position(); }
  std::uint64_t size() const override { return file_.size(); }

  Result<std::optional<VectorRecord>> next() override {
    Result<std::optional<VectorRecord>> record = read_record();
    if (!record || !*record) return record;
    const std::uint64_t length = (*record)->vector.size();
    if (dimensions_ == 0) {
      dimensions_ = length;
    } else if (length != dimensions_) {
      return bad_file(path_, where() + ": a vector of " + std::to_string(length) +
                                 " components after vectors of " + std::to_string(dimensions_));
    }
    return record;
  }
  std::string where() const override { return "line " + std::to_string(line_); }

 private:
  Result<std::optional<VectorRecord>> read_record() {
    std::string text;
    while (file_.read_line(text)) {
      ++line_;
      if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
      return parse_record(text);
    }
    return std::optional<VectorRecord>();
  }

  Result<std::optional<VectorRecord>> parse_record(std::string_view text) {
    const std::string where = this->where() + ": ";
    // One level more than metadata may have, for the object around it: a line dump wrote for
    // metadata of the greatest depth reads back.
    Result<Json> value = parse_json(text, kMaxJsonDepth + 1);
    if (!value) {
      const auto* bad = value.error().get_if<errors::Serialization>();
      return bad_file(path_, where + (bad != nullptr ? bad->text : "not JSON"));
    }
    const auto id = value->find("id");
    const auto vector = value->find("vector");
    if (!value->is_object() || id == value->end() || !id->is_string() || vector == value->end() ||
        !vector->is_array() || vector->empty())
      return bad_file(path_, where +
                                 "expected {\"id\": text, \"vector\": [numbers], "
                                 "\"metadata\": optional}");
    Result<std::vector<float>> components =
        vector_from_json(*vector, path_.filename().string() + ": " + where);
    if (!components) return fail(std::move(components).error());
    VectorRecord record{VectorId(id->get<std::string>()), std::move(*components), std::nullopt};
    if (const auto metadata = value->find("metadata");
        metadata != value->end() && !metadata->is_null())
      record.metadata = *metadata;
    return std::optional<VectorRecord>(std::move(record));
  }

  std::filesystem::path path_;
  InputFile file_;
  std::uint64_t line_ = 0;
  std::uint64_t dimensions_ = 0;
};

}  // namespace

Result<std::unique_ptr<VectorSource>> open_vector_file(const std::filesystem::path& path,
                                                       const std::string& id_prefix) {
  const std::string extension = path.extension().string();
  if (extension != ".npy" && extension != ".fvecs" && extension != ".jsonl")
    return bad_file(path, "unknown kind of file (expected .npy, .fvecs or .jsonl)");
  Result<InputFile> file = InputFile::open(path);
  if (!file) return fail(std::move(file).error());
  if (extension == ".npy") return NpySource::open(path, std::move(*file), id_prefix);
  if (extension == ".fvecs") return FvecsSource::open(path, std::move(*file), id_prefix);
  return std::make_unique<JsonLinesSource>(path, std::move(*file));
}

}  // namespace vexradb::cli
