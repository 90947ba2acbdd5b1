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

#include <sys/uio.h>

#include <vorn/support/chunk_pool.hpp>

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
    // The same into `parts`, filled in order with one preadv() (at most IOV_MAX parts).
    std::size_t read_some(std::uint64_t position, std::span<const ::iovec> parts) const;

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

// Reads a recording's data for one stream into chunks from the stream's pool. Chunks smaller than
// a batch are read ahead, as many as fill one, with a single preadv() straight into their blocks:
// a small chunk costs one copy and a share of a system call. One thread only (the playback's).
class ChunkReader {
  public:
    static constexpr std::size_t batch_bytes = 256 * 1024;
    static constexpr std::size_t max_batch_chunks = 256;

    // Chunks of at most the pool's chunk size.
    ChunkReader(const Recording& recording, vorn::support::ChunkPool& pool);

    // Where the chunk that starts at `position` ends: a chunk size further, or sooner at the
    // next mark or at the end of the data.
    std::uint64_t chunk_end(std::uint64_t position) const;

    // The chunk from `position` (before the end of the data) to chunk_end(position). Chunks read
    // ahead and not taken go back to the pool when a take asks for another position (a rewind, a
    // loop). Throws as Recording::read does.
    vorn::DataStream::Events::OwnedData take(std::uint64_t position);

  private:
    // Reads the batch of chunks from `position` on into ready_; the first one whole.
    void read_batch(std::uint64_t position);

    const Recording& recording_;
    vorn::support::ChunkPool& pool_;
    std::vector<vorn::DataStream::Events::OwnedData> ready_;  // read ahead, in order
    std::size_t next_ = 0;                                    // ready_[next_] is taken next
    std::uint64_t next_position_ = 0;                         // where ready_[next_] starts
    std::vector<::iovec> parts_;                              // the batch's blocks, for preadv()
};

}  // namespace replay
