// A recording opened for replay: where its data lies in which file, what the stream had besides
// data (gaps, device errors) and where, and reading the data back with ordinary file I/O.
//
// Ownership and threads: open() gives an immutable Recording, shared by the device and every
// stream started from it, which may outlive the device. read() may be called from any thread, also
// concurrently (it is one pread() on a descriptor the Recording owns, never the file position).
// The descriptor stays open for as long as the Recording lives: a file renamed or deleted under a
// replay still plays; one truncated under it gives a read error.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace replay {

enum class Format { raw, npy, sigmf };

// "raw", "npy" or "sigmf".
std::string_view format_name(Format format);
// The format of a name as its suffix says (.npy; .sigmf-data, .sigmf-meta; else raw).
Format format_of(const std::filesystem::path& path);

// Where the original stream had an event of its own: before the data byte `position`, an Error
// with `message` (a gap's "recording gap: N samples missing", or a device's error).
struct Mark {
    std::uint64_t position = 0;
    std::string message;
};

class Recording {
  public:
    // Opens the recording at `path` in `format`; for SigMF, `path` is the .sigmf-data or
    // .sigmf-meta file or their base name. Throws std::invalid_argument with a message naming the
    // file when it cannot be opened or used.
    static std::shared_ptr<const Recording> open(const std::filesystem::path& path, Format format);

    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // Fills `out` with the data's bytes from `position` on (position + out.size() <= size()).
    // Throws std::runtime_error "cannot read FILE: ..." with the system's text on a read error,
    // or when the file ends before the data does.
    void read(std::uint64_t position, std::span<std::uint8_t> out) const;
    // One read into `out` from `position` on: the count of bytes read, at least 1 (0 only for an
    // empty `out`). Throws as read() does.
    std::size_t read_some(std::uint64_t position, std::span<std::uint8_t> out) const;

    Format format() const noexcept { return format_; }
    const std::filesystem::path& data_path() const noexcept { return data_path_; }
    // Bytes of data (the samples, without a header).
    std::uint64_t size() const noexcept { return size_; }
    std::uint32_t sample_size() const noexcept { return sample_size_; }
    // The sample type as its format names it ("<u4", "ci16_le"); "bytes" for raw data.
    const std::string& type_name() const noexcept { return type_name_; }
    std::optional<double> sample_rate() const noexcept { return sample_rate_; }
    // In order of position; positions within the data (at most size()).
    const std::vector<Mark>& marks() const noexcept { return marks_; }

  private:
    Recording() = default;
    void open_data(const std::filesystem::path& path);
    void read_npy();
    void read_sigmf(const std::filesystem::path& meta_path);

    Format format_ = Format::raw;
    std::filesystem::path data_path_;
    int fd_ = -1;
    std::uint64_t file_size_ = 0;  // when opened
    std::uint64_t offset_ = 0;     // of the data in the file
    std::uint64_t size_ = 0;
    std::uint32_t sample_size_ = 1;
    std::string type_name_ = "bytes";
    std::optional<double> sample_rate_;
    std::vector<Mark> marks_;
};

// Reads a recording's data for one stream: chunks smaller than a block come out of a buffer that
// is filled a block at a time, so that small chunks cost a copy instead of a system call each;
// larger ones are read straight into the chunk. One thread only (the playback's).
class ReadAhead {
  public:
    static constexpr std::size_t block_size = 64 * 1024;

    ReadAhead(const Recording& recording, std::size_t chunk_size);

    // As Recording::read.
    void read(std::uint64_t position, std::span<std::uint8_t> out);

  private:
    const Recording& recording_;
    std::vector<std::uint8_t> buffer_;  // empty when chunks are read straight
    std::uint64_t start_ = 0;           // the data byte at buffer_[0]
    std::size_t length_ = 0;            // bytes of the buffer that hold data
};

}  // namespace replay
