// A recording opened for replay (see replay_file.hpp): the formats' headers and metadata, and
// reading the data with pread().
#include "replay_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <tuple>
#include <utility>

#include <vorn/recording/gap.hpp>
#include <vorn/recording/npy.hpp>
#include <vorn/recording/sample_type.hpp>
#include <vorn/recording/sigmf.hpp>
#include <vorn/support/options.hpp>

namespace replay {

namespace {

// The most metadata or header text read into memory: far more than any real one needs.
constexpr std::uint64_t max_metadata = 16 * 1024 * 1024;

// "option "file": "PATH": WHAT", the one message of a recording that cannot be replayed.
std::invalid_argument unusable(const std::filesystem::path& path, const std::string& what) {
    return std::invalid_argument("option \"file\": " + vorn::support::quoted(path.native()) + ": " +
                                 what);
}

bool ends_with(const std::filesystem::path& path, std::string_view suffix) {
    return path.native().ends_with(suffix);
}

// Runs `read`, which reads the header or metadata of `path`: what it throws (a read error, or
// std::invalid_argument for what it found) becomes the message of unusable().
template <typename Read>
void reading(const std::filesystem::path& path, Read&& read) {
    try {
        read();
    } catch (const std::system_error& error) {
        throw unusable(path, std::string("cannot read: ") + error.code().message());
    } catch (const std::invalid_argument& error) {
        throw unusable(path, error.what());
    }
}

// One preadv() into `parts` at `offset`, again when a signal interrupted it: what preadv()
// returns (0 at the end of the file, -1 with errno on an error).
ssize_t preadv_once(int fd, std::span<const ::iovec> parts, std::uint64_t offset) {
    ssize_t n = 0;
    do {
        n = ::preadv(fd, parts.data(), static_cast<int>(parts.size()), static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
}

// Reads `count` bytes at `offset`, fewer only where the file ends. Throws std::system_error.
std::string read_at(int fd, std::uint64_t offset, std::uint64_t count) {
    std::string text(count, '\0');
    std::uint64_t done = 0;
    while (done < count) {
        const ::iovec part{text.data() + done, count - done};
        const ssize_t n = preadv_once(fd, std::span(&part, 1), offset + done);
        if (n < 0) {
            throw std::system_error(errno, std::generic_category());
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::uint64_t>(n);
    }
    text.resize(done);
    return text;
}

// A descriptor, closed when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// A regular file opened for reading, and its size; throws what unusable() makes. Opened without
// blocking, so that a FIFO given by mistake is refused instead of waiting for a writer.
std::pair<int, std::uint64_t> open_file(const std::filesystem::path& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        throw unusable(path, std::string("cannot open: ") + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        throw unusable(path, std::string("cannot open: ") + std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        throw unusable(path, S_ISDIR(info.st_mode) ? "is a directory" : "is not a regular file");
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        throw unusable(path, std::string("cannot open: ") + std::strerror(errno));
    }
    return {fd.release(), static_cast<std::uint64_t>(info.st_size)};
}

}  // namespace

std::string_view format_name(Format format) {
    switch (format) {
        case Format::npy:
            return "npy";
        case Format::sigmf:
            return "sigmf";
        case Format::raw:
            break;
    }
    return "raw";
}

Format format_of(const std::filesystem::path& path) {
    if (ends_with(path, ".npy")) {
        return Format::npy;
    }
    if (ends_with(path, vorn::recording::sigmf_data_suffix) ||
        ends_with(path, vorn::recording::sigmf_meta_suffix)) {
        return Format::sigmf;
    }
    return Format::raw;
}

std::shared_ptr<const Recording> Recording::open(const std::filesystem::path& path, Format format) {
    std::shared_ptr<Recording> recording(new Recording());
    recording->format_ = format;
    if (format != Format::sigmf) {
        recording->open_data(path);
        if (format == Format::npy) {
            recording->read_npy();
        } else {
            recording->size_ = recording->file_size_;
        }
        return recording;
    }
    // SigMF: the data and metadata files beside one base name.
    std::string base = path.native();
    for (const std::string_view suffix :
         {vorn::recording::sigmf_data_suffix, vorn::recording::sigmf_meta_suffix}) {
        if (base.ends_with(suffix)) {
            base.resize(base.size() - suffix.size());
            break;
        }
    }
    recording->open_data(base + std::string(vorn::recording::sigmf_data_suffix));
    recording->read_sigmf(base + std::string(vorn::recording::sigmf_meta_suffix));
    return recording;
}

Recording::~Recording() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void Recording::open_data(const std::filesystem::path& path) {
    data_path_ = path;
    std::tie(fd_, file_size_) = open_file(path);
}

void Recording::read_npy() {
    reading(data_path_, [this] {
        const std::string head = read_at(fd_, 0, std::min(file_size_, max_metadata));
        const vorn::recording::NpyHeader header = vorn::recording::parse_npy_header(head);
        const std::uint32_t sample = header.sample_type.size();
        if (header.count > (UINT64_MAX - header.data_offset) / sample) {
            throw std::invalid_argument("bad .npy header: the sample count is too large");
        }
        offset_ = header.data_offset;
        size_ = header.count * sample;
        sample_size_ = sample;
        type_name_ = vorn::recording::numpy_descr(header.sample_type);
        if (file_size_ - std::min(file_size_, offset_) < size_) {
            throw std::invalid_argument(
                "the header counts " + std::to_string(header.count) + " samples (" +
                std::to_string(size_) + " bytes), the file holds " +
                std::to_string(file_size_ - std::min(file_size_, offset_)) + " bytes of data");
        }
    });
}

void Recording::read_sigmf(const std::filesystem::path& meta_path) {
    namespace rec = vorn::recording;
    rec::SigmfMeta meta;
    const auto [meta_fd, meta_size] = open_file(meta_path);
    const Descriptor meta_file(meta_fd);
    reading(meta_path, [&] {
        if (meta_size > max_metadata) {
            throw std::invalid_argument("SigMF metadata: the file is larger than " +
                                        std::to_string(max_metadata) + " bytes");
        }
        meta = rec::parse_sigmf_meta(read_at(meta_file.get(), 0, meta_size));
    });
    size_ = file_size_;
    sample_size_ = meta.sample_type.size();
    type_name_ = rec::sigmf_datatype(meta.sample_type);
    sample_rate_ = meta.sample_rate;
    // The byte where sample `start` begins; none past the data's end (nor beyond 64 bits).
    const auto position = [this](std::uint64_t start) -> std::optional<std::uint64_t> {
        if (start > size_ / sample_size_) {
            return std::nullopt;
        }
        return start * sample_size_;
    };
    // A capture segment whose global index jumps past where the previous one's samples end (or,
    // for the first, past its own start) was preceded by a gap: where it starts in the file, the
    // original stream had lost samples.
    rec::SigmfCapture before;  // the stream's start: sample 0 at global index 0
    for (const rec::SigmfCapture& capture : meta.captures) {
        const std::uint64_t continued =
            before.global_index + (capture.sample_start - before.sample_start);
        const auto at = position(capture.sample_start);
        if (capture.global_index > continued && at) {
            marks_.push_back({*at, rec::gap_message(capture.global_index - continued)});
        }
        before = capture;
    }
    // A device's errors were written as annotations of their own kind; others (the recorder's
    // notes, a foreign recorder's labels) are not events of the stream.
    for (const rec::SigmfAnnotation& annotation : meta.annotations) {
        const auto at = position(annotation.sample_start);
        if (annotation.label == "device error" && at) {
            marks_.push_back({*at, annotation.comment});
        }
    }
    std::stable_sort(marks_.begin(), marks_.end(),
                     [](const Mark& a, const Mark& b) { return a.position < b.position; });
}

std::size_t Recording::read_some(std::uint64_t position, std::span<std::uint8_t> out) const {
    const ::iovec part{out.data(), out.size()};
    return read_some(position, std::span(&part, 1));
}

std::size_t Recording::read_some(std::uint64_t position, std::span<const ::iovec> parts) const {
    if (std::all_of(parts.begin(), parts.end(),
                    [](const ::iovec& part) { return part.iov_len == 0; })) {
        return 0;
    }
    const ssize_t n = preadv_once(fd_, parts, offset_ + position);
    if (n > 0) {
        return static_cast<std::size_t>(n);
    }
    if (n < 0) {
        throw std::runtime_error("cannot read " + data_path_.string() + ": " +
                                 std::strerror(errno));
    }
    throw std::runtime_error("cannot read " + data_path_.string() + ": the file ends at byte " +
                             std::to_string(offset_ + position) + ", before its " +
                             std::to_string(size_) + " bytes of data");
}

void Recording::read(std::uint64_t position, std::span<std::uint8_t> out) const {
    while (!out.empty()) {
        const std::size_t n = read_some(position, out);
        out = out.subspan(n);
        position += n;
    }
}

ChunkReader::ChunkReader(const Recording& recording, vorn::support::ChunkPool& pool)
    : recording_(recording), pool_(pool) {}

std::uint64_t ChunkReader::chunk_end(std::uint64_t position) const {
    std::uint64_t end = std::min<std::uint64_t>(recording_.size(), position + pool_.chunk_size());
    const std::vector<Mark>& marks = recording_.marks();
    const auto next_mark =
        std::upper_bound(marks.begin(), marks.end(), position,
                         [](std::uint64_t at, const Mark& later) { return at < later.position; });
    return next_mark != marks.end() ? std::min(end, next_mark->position) : end;
}

vorn::DataStream::Events::OwnedData ChunkReader::take(std::uint64_t position) {
    if (next_ == ready_.size() || position != next_position_) {
        read_batch(position);
    }
    vorn::DataStream::Events::OwnedData chunk = std::move(ready_[next_++]);
    next_position_ = position + chunk.size();
    return chunk;
}

void ChunkReader::read_batch(std::uint64_t position) {
    ready_.clear();  // back to the pool
    parts_.clear();
    next_ = 0;
    next_position_ = position;
    std::uint64_t end = position;
    do {
        const std::uint64_t chunk_start = end;
        end = chunk_end(chunk_start);
        ready_.push_back(pool_.take(static_cast<std::size_t>(end - chunk_start)));
        parts_.push_back({ready_.back().data(), ready_.back().size()});
    } while (end < recording_.size() && (ready_.size() + 1) * pool_.chunk_size() <= batch_bytes &&
             ready_.size() < max_batch_chunks);  // blocks, not bytes: chunks cut at marks are short
    std::size_t n = 0;
    try {
        n = recording_.read_some(position, parts_);
        const std::span<std::uint8_t> first = ready_.front().bytes();
        if (n < first.size()) {
            recording_.read(position + n, first.subspan(n));  // the first chunk whole, or an error
            n = first.size();
        }
    } catch (...) {
        ready_.clear();  // nothing unread is ever handed out
        throw;
    }
    // Only whole chunks stay; the rest are read again with the next batch.
    std::size_t whole = 0;
    for (std::size_t covered = 0; whole < ready_.size() && covered + ready_[whole].size() <= n;
         ++whole) {
        covered += ready_[whole].size();
    }
    ready_.resize(whole);
}

}  // namespace replay
