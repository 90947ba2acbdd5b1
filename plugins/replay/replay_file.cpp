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

// Reads `count` bytes at `offset`, fewer only where the file ends. Throws std::system_error.
std::string read_at(int fd, std::uint64_t offset, std::uint64_t count) {
    std::string text(count, '\0');
    std::uint64_t done = 0;
    while (done < count) {
        const ssize_t n =
            ::pread(fd, text.data() + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
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

// The descriptor and size of a regular file opened for reading; throws what unusable() makes.
std::pair<int, std::uint64_t> open_file(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw unusable(path, std::string("cannot open: ") + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int code = errno;
        ::close(fd);
        throw unusable(path, S_ISDIR(info.st_mode) ? "is a directory"
                             : code != 0 ? std::string("cannot open: ") + std::strerror(code)
                                         : "is not a regular file");
    }
    return {fd, static_cast<std::uint64_t>(info.st_size)};
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
    try {
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
    } catch (const std::system_error& error) {
        throw unusable(data_path_, std::string("cannot read: ") + error.code().message());
    } catch (const std::invalid_argument& error) {
        throw unusable(data_path_, error.what());
    }
}

void Recording::read_sigmf(const std::filesystem::path& meta_path) {
    namespace rec = vorn::recording;
    rec::SigmfMeta meta;
    auto [meta_fd, meta_size] = open_file(meta_path);
    try {
        if (meta_size > max_metadata) {
            throw std::invalid_argument("SigMF metadata: the file is larger than " +
                                        std::to_string(max_metadata) + " bytes");
        }
        meta = rec::parse_sigmf_meta(read_at(meta_fd, 0, meta_size));
        ::close(meta_fd);
    } catch (const std::system_error& error) {
        ::close(meta_fd);
        throw unusable(meta_path, std::string("cannot read: ") + error.code().message());
    } catch (const std::invalid_argument& error) {
        ::close(meta_fd);
        throw unusable(meta_path, error.what());
    }
    size_ = file_size_;
    sample_size_ = meta.sample_type.size();
    type_name_ = rec::sigmf_datatype(meta.sample_type);
    sample_rate_ = meta.sample_rate;
    // A capture segment whose global index jumps past where the previous one's samples end was
    // preceded by a gap; where it starts in the file, the original stream had lost samples.
    for (std::size_t i = 1; i < meta.captures.size(); ++i) {
        const rec::SigmfCapture& before = meta.captures[i - 1];
        const rec::SigmfCapture& capture = meta.captures[i];
        const std::uint64_t continued =
            before.global_index + (capture.sample_start - before.sample_start);
        if (capture.global_index > continued) {
            marks_.push_back({capture.sample_start * sample_size_,
                              rec::gap_message(capture.global_index - continued)});
        }
    }
    // A device's errors were written as annotations of their own kind; others (the recorder's
    // notes, a foreign recorder's labels) are not events of the stream.
    for (const rec::SigmfAnnotation& annotation : meta.annotations) {
        if (annotation.label == "device error") {
            marks_.push_back({annotation.sample_start * sample_size_, annotation.comment});
        }
    }
    std::stable_sort(marks_.begin(), marks_.end(),
                     [](const Mark& a, const Mark& b) { return a.position < b.position; });
    std::erase_if(marks_, [this](const Mark& mark) { return mark.position > size_; });
}

void Recording::read(std::uint64_t position, std::span<std::uint8_t> out) const {
    std::uint64_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                                  static_cast<off_t>(offset_ + position + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw std::runtime_error("cannot read " + data_path_.string() + ": " +
                                     std::strerror(errno));
        }
        if (n == 0) {
            throw std::runtime_error("cannot read " + data_path_.string() +
                                     ": the file ends at byte " +
                                     std::to_string(offset_ + position + done) + ", before its " +
                                     std::to_string(size_) + " bytes of data");
        }
        done += static_cast<std::uint64_t>(n);
    }
}

}  // namespace replay
