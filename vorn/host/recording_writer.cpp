// Recording a stream to disk on its delivery thread (see recording_writer.hpp).
#include "vorn/host/recording_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "vorn/recording/gap.hpp"
#include "vorn/recording/npy.hpp"

namespace vorn::DataStream {

namespace {

using Format = RecordingOptions::Format;

// How often, by the chunks' push times, the .npy count and the SigMF metadata catch up.
constexpr std::int64_t sync_interval_ns = 1'000'000'000;
// The most one write(2) is given.
constexpr std::uint64_t max_write = 1 << 30;

std::int64_t clock_ns(clockid_t clock) noexcept {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::system_error os_error(int code, const std::string& what) {
    return std::system_error(code, std::generic_category(), what);
}

// Writes all `size` bytes to `fd`, adding what reached it to `written`; 0, or the errno.
int write_fully(int fd, const std::uint8_t* bytes, std::uint64_t size,
                std::uint64_t& written) noexcept {
    while (size > 0) {
        const ssize_t count = ::write(fd, bytes, std::min(size, max_write));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (count == 0) {
            return EIO;
        }
        const auto done = static_cast<std::uint64_t>(count);
        written += done;
        bytes += done;
        size -= done;
    }
    return 0;
}

// Files larger than this that a recording replaces are freed on a thread of their own.
constexpr off_t large_file = 1 << 20;

// Puts `temporary` in place of `target`: 0, or the errno. The last link of a large file going frees
// all its pages in the call that drops it, which takes about 0.15 ms per MB on tmpfs: done on the
// writer's thread, replacing an old recording would stall the new one at its start for long enough
// to overflow its queue. So a descriptor keeps the replaced file alive through the rename, and a
// thread of its own closes it. (A child forked in between inherits the descriptor and holds the
// old file's space until it exits.)
int replace(const std::filesystem::path& temporary, const std::filesystem::path& target) noexcept {
    int old = ::open(target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (old >= 0 && (::fstat(old, &status) != 0 || status.st_nlink != 1 ||
                     status.st_blocks * 512 < large_file)) {  // nothing large to free
        ::close(old);
        old = -1;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int code = errno;
        if (old >= 0) {
            ::close(old);
        }
        return code;
    }
    if (old >= 0) {
        try {
            std::thread([old] { ::close(old); }).detach();
        } catch (...) {
            ::close(old);  // no thread to spare: freed here after all
        }
    }
    return 0;
}

int write_fully(int fd, const std::string& text) noexcept {
    std::uint64_t written = 0;
    return write_fully(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                       written);
}

// A hidden name beside `target` that no other recording uses at the same moment.
std::filesystem::path temporary_name(const std::filesystem::path& target) {
    static std::atomic<std::uint64_t> serial{0};
    const std::uint64_t mix = static_cast<std::uint64_t>(clock_ns(CLOCK_MONOTONIC)) ^
                              static_cast<std::uint64_t>(::getpid()) << 40 ^
                              serial.fetch_add(1) * 0x9E37'79B9'7F4A'7C15ULL;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(mix ^ mix >> 32));
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about a chain of string +.
    std::string name = ".";
    name.append(target.filename().string()).append(".").append(hex).append(".part");
    return target.parent_path() / name;
}

}  // namespace

// ---- RecordingStatus ----

RecordingProgress RecordingStatus::progress() const {
    RecordingProgress p;
    // First, with acquire: once it is set, every counter below is final.
    p.finished = finished_.load(std::memory_order_acquire);
    p.bytes = bytes_.load(std::memory_order_relaxed);
    p.chunks = chunks_.load(std::memory_order_relaxed);
    p.samples = samples_.load(std::memory_order_relaxed);
    p.dropped = {dropped_events_.load(std::memory_order_relaxed),
                 dropped_bytes_.load(std::memory_order_relaxed)};
    p.errors = errors_.load(std::memory_order_relaxed);
    p.lost_bytes = lost_bytes_.load(std::memory_order_relaxed);
    p.cut_bytes = cut_bytes_.load(std::memory_order_relaxed);
    p.complete = complete_.load(std::memory_order_relaxed);
    p.first_time_ns = first_time_ns_.load(std::memory_order_relaxed);
    p.last_time_ns = last_time_ns_.load(std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    p.error_code = error_code_;
    p.error_text = error_text_;
    p.device_error = device_error_;
    return p;
}

std::uint64_t RecordingStatus::wait(std::uint64_t seen, std::chrono::nanoseconds timeout) const {
    std::unique_lock lock(mutex_);
    const auto changed = [&] { return happenings_ != seen; };
    if (timeout < std::chrono::nanoseconds::zero()) {
        changed_.wait(lock, changed);
    } else {
        changed_.wait_for(lock, timeout, changed);
    }
    return happenings_;
}

// Under mutex_.
void RecordingStatus::notify() {
    ++happenings_;
    changed_.notify_all();
}

// ---- RecordingWriter: the files ----

RecordingWriter::RecordingWriter(RecordingOptions options)
    : options_(std::move(options)), sample_size_(options_.sample_type.size()) {
    const recording::SampleType& type = options_.sample_type;
    (void)recording::numpy_descr(type);  // refuses a type no format can name
    if (options_.sample_rate && !std::isfinite(*options_.sample_rate)) {
        throw std::invalid_argument("the sample rate must be a finite number");
    }
    if (options_.fd >= 0 && options_.format != Format::raw) {
        throw std::invalid_argument("only a raw recording can be written to a descriptor");
    }
    if (options_.format == Format::sigmf) {
        sigmf_.sample_type = type;
        (void)recording::sigmf_datatype(type);
        sigmf_.sample_rate = options_.sample_rate;
        sigmf_.description = options_.description;
        sigmf_.hw = options_.hw;
        sigmf_.recorder = options_.recorder;
    }
    realtime_offset_ns_ = clock_ns(CLOCK_REALTIME) - clock_ns(CLOCK_MONOTONIC);
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(buffer_size);
    if ((options_.max_bytes && *options_.max_bytes == 0) ||
        (options_.max_chunks && *options_.max_chunks == 0)) {
        complete_ = true;
        status_->complete_.store(true, std::memory_order_relaxed);
    }
    if (options_.fd >= 0) {
        data_.fd = options_.fd;
        data_.in_place = true;
        return;
    }
    try {
        std::filesystem::path data_target = options_.path;
        if (options_.format == Format::sigmf) {
            data_target += recording::sigmf_data_suffix;
            std::filesystem::path meta_target = options_.path;
            meta_target += recording::sigmf_meta_suffix;
            open_target(data_, data_target, false);
            open_target(meta_, meta_target, false);
        } else {
            open_target(data_, data_target, options_.format == Format::raw);
        }
        if (options_.format == Format::npy) {
            header_size_ = recording::npy_header_size;
            if (const int code = write_fully(data_.fd, recording::npy_header(type, 0))) {
                throw os_error(code, "cannot write " + data_.temporary.string());
            }
        }
    } catch (...) {
        discard(data_);
        discard(meta_);
        throw;
    }
}

RecordingWriter::~RecordingWriter() {
    finish();
}

// The target as it is for a raw recording that is not a regular file (a FIFO, a device); else a
// new temporary beside it, where the target really is (through symbolic links), with its
// permissions when it exists (else 0666 less the umask).
void RecordingWriter::open_target(File& file, const std::filesystem::path& target, bool raw) {
    file.target = target;
    struct stat info {};
    if (::stat(target.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            throw os_error(errno, "cannot record to " + target.string());
        }
    } else if (!S_ISREG(info.st_mode)) {
        if (!raw) {
            throw std::invalid_argument(target.string() +
                                        " is not a regular file: a .npy or SigMF recording "
                                        "needs one (record raw bytes to it instead)");
        }
        file.fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (file.fd < 0) {
            throw os_error(errno, "cannot open " + target.string());
        }
        file.owned = true;
        file.in_place = true;
        return;
    } else {
        file.mode = info.st_mode & 07777;
    }
    std::error_code ignored;
    const std::filesystem::path real = std::filesystem::weakly_canonical(target, ignored);
    if (!real.empty()) {
        file.target = real;
    }
    file.regular = true;
    if (const int code = create_temporary(file)) {
        throw os_error(code, "cannot create a file beside " + file.target.string());
    }
}

// A new temporary beside the file's target, open for writing; 0, or the errno.
int RecordingWriter::create_temporary(File& file) noexcept {
    try {
        for (int attempt = 0;; ++attempt) {
            std::filesystem::path temporary = temporary_name(file.target);
            const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno == EEXIST && attempt < 100) {
                    continue;
                }
                return errno;
            }
            file.fd = fd;
            file.owned = true;
            file.temporary = std::move(temporary);
            if (file.mode && ::fchmod(fd, *file.mode) != 0) {
                const int code = errno;
                discard(file);
                return code;
            }
            return 0;
        }
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

// Closes an owned descriptor and removes a temporary that was not put in place.
void RecordingWriter::discard(File& file) noexcept {
    if (file.owned && file.fd >= 0) {
        ::close(file.fd);
    }
    file.fd = -1;
    if (!file.temporary.empty()) {
        ::unlink(file.temporary.c_str());
        file.temporary.clear();
    }
}

// The first data came: the metadata (SigMF) gets its first capture's time, and the files go in
// place, the data first. False after a failure.
bool RecordingWriter::place() {
    placed_ = true;
    if (options_.format == Format::sigmf && !prepare_meta()) {
        return false;
    }
    if (!data_.in_place) {
        if (const int code = replace(data_.temporary, data_.target)) {
            fail(code, "cannot put " + data_.target.string() + " in place");
            return false;
        }
        data_.temporary.clear();
        data_.in_place = true;
    }
    return options_.format != Format::sigmf || put_meta();
}

// Writes the metadata as it stands into a new file beside its target (the one made at the start
// while it is still open) and closes it. False after a failure, which removes that file.
bool RecordingWriter::prepare_meta() {
    const std::string text = recording::sigmf_meta_json(sigmf_);
    int code = meta_.fd < 0 ? create_temporary(meta_) : 0;
    if (code == 0) {
        code = write_fully(meta_.fd, text);
    }
    if (meta_.fd >= 0 && ::close(meta_.fd) != 0 && code == 0) {
        code = errno;
    }
    meta_.fd = -1;
    if (code != 0) {
        fail(code, "cannot write " + meta_.target.string());
        discard(meta_);  // the new file only; one in place stays
        return false;
    }
    meta_dirty_ = false;
    return true;
}

bool RecordingWriter::put_meta() {
    if (const int code = replace(meta_.temporary, meta_.target)) {
        fail(code, "cannot put " + meta_.target.string() + " in place");
        discard(meta_);
        return false;
    }
    meta_.temporary.clear();
    meta_.in_place = true;
    return true;
}

// ---- RecordingWriter: the data path ----

void RecordingWriter::deliver(Event&& event, const EventInfo& at) {
    if (finished_) {
        return;
    }
    if (const auto* owned = std::get_if<Events::OwnedData>(&event)) {
        take(owned->data(), owned->size(), at);
    } else if (const auto* view = std::get_if<Events::DataView>(&event)) {
        take(view->data, view->size, at);
    } else if (const auto* error = std::get_if<Events::Error>(&event)) {
        if (complete_) {
            return;  // after the limit: not the recording's
        }
        // A gap too large for the stream's sample positions is no gap this recording can hold:
        // it stays a device error.
        const auto missing = recording::parse_gap_message(error->message);
        if (missing && *missing <= (UINT64_MAX / 4) / sample_size_ - gap_samples_) {
            gap_samples_ += *missing;
            gap_pending_ = true;
            annotate("gap", error->message);
            return;
        }
        status_->add(status_->errors_, 1);
        {
            std::lock_guard lock(status_->mutex_);
            if (status_->device_error_.empty()) {
                status_->device_error_ = error->message;
            }
            status_->notify();
        }
        annotate("device error", error->message);
    } else {
        finish();
    }
}

void RecordingWriter::dropped(const Dropped& lost, const EventInfo& /*at*/) {
    if (finished_ || complete_) {
        return;  // after the limit, what is lost is not the recording's
    }
    status_->add(status_->dropped_events_, lost.events);
    status_->add(status_->dropped_bytes_, lost.bytes);
    {
        std::lock_guard lock(status_->mutex_);
        status_->notify();
    }
    annotate("gap", overflow_message(lost));
}

// A SigMF annotation at the current place, while samples are still written.
void RecordingWriter::annotate(std::string label, std::string comment) {
    if (options_.format != Format::sigmf || failed_ || complete_) {
        return;
    }
    sigmf_.annotations.push_back({samples_so_far(), 0, std::move(label), std::move(comment)});
    meta_dirty_ = true;
}

void RecordingWriter::take(const std::uint8_t* bytes, std::uint64_t size, const EventInfo& at) {
    if (complete_) {
        return;
    }
    const std::uint64_t pushed = size;
    if (options_.max_bytes) {
        size = std::min(size, *options_.max_bytes - taken_);
    }
    taken_ += size;
    ++chunks_;
    RecordingStatus& status = *status_;
    status.add(status.bytes_, size);
    status.add(status.chunks_, 1);
    if (chunks_ == 1) {
        status.first_time_ns_.store(at.time_ns, std::memory_order_relaxed);
    }
    status.last_time_ns_.store(at.time_ns, std::memory_order_relaxed);
    if (options_.tap) {
        options_.tap->offer(bytes, size, at);
    }
    if (!failed_) {
        if (!seen_data_) {
            last_sync_ns_ = at.time_ns;
        }
        if (!seen_data_ || gap_pending_ || at.offset != next_offset_) {
            jump_to(at);
        }
        seen_data_ = true;
        next_offset_ = at.offset + pushed;
        if (placed_ || place()) {
            const std::uint64_t skipped = std::min(skip_, size);
            skip_ -= skipped;
            cut_ += skipped;
            append(bytes + skipped, size - skipped);
        }
    }
    if (failed_) {
        status.lost_bytes_.store(taken_ - cut_ - on_disk_, std::memory_order_relaxed);
    } else {
        status.samples_.store(samples_so_far(), std::memory_order_relaxed);
        status.cut_bytes_.store(cut_, std::memory_order_relaxed);
        if (at.time_ns - last_sync_ns_ >= sync_interval_ns) {
            sync(at.time_ns);
        }
    }
    if ((options_.max_bytes && taken_ == *options_.max_bytes) ||
        (options_.max_chunks && chunks_ == *options_.max_chunks)) {
        complete_ = true;
        status.complete_.store(true, std::memory_order_relaxed);
        std::lock_guard lock(status.mutex_);
        status.notify();
    }
}

// The data continues at `at.offset` after a gap (or starts there): a partial sample before it is
// left out, and so are the bytes up to the next sample boundary of the stream; SigMF starts a
// capture there, at the stream position in samples with the gap messages' samples added.
void RecordingWriter::jump_to(const EventInfo& at) {
    gap_pending_ = false;
    const std::uint64_t partial = filled_ % sample_size_;
    filled_ -= partial;
    cut_ += partial;
    skip_ = (sample_size_ - at.offset % sample_size_) % sample_size_;
    if (options_.format != Format::sigmf) {
        return;
    }
    const std::uint64_t start = samples_so_far();
    const std::uint64_t global_index = (at.offset + skip_) / sample_size_ + gap_samples_;
    if (sigmf_.captures.empty()) {
        sigmf_.captures.push_back(
            {start, global_index, recording::utc_datetime(at.time_ns + realtime_offset_ns_)});
    } else if (sigmf_.captures.back().sample_start == start) {
        sigmf_.captures.back().global_index = global_index;  // no sample came since the last one
    } else {
        sigmf_.captures.push_back({start, global_index, {}});
    }
    meta_dirty_ = true;
}

// Small chunks are gathered in the buffer and written in large writes; a large one is written
// directly, after the buffer (with the start of the chunk completing its partial sample). Only
// whole samples are written; a partial one waits in the buffer for the rest.
void RecordingWriter::append(const std::uint8_t* bytes, std::uint64_t size) {
    if (size < buffer_size / 2) {
        if (filled_ + size > buffer_size && !flush()) {
            return;
        }
        std::memcpy(buffer_.get() + filled_, bytes, size);  // fits: flush() left < a sample
        filled_ += size;
        return;
    }
    const std::uint64_t partial = filled_ % sample_size_;
    const std::uint64_t head = partial > 0 ? sample_size_ - partial : 0;  // size > head
    std::memcpy(buffer_.get() + filled_, bytes, head);
    filled_ += head;
    if (!flush()) {
        return;
    }
    bytes += head;
    size -= head;
    const std::uint64_t whole = size - size % sample_size_;
    if (!write_all(bytes, whole)) {
        return;
    }
    std::memcpy(buffer_.get(), bytes + whole, size - whole);
    filled_ = size - whole;
}

// Writes the buffer's whole samples and keeps its partial one. False after a failure.
bool RecordingWriter::flush() {
    const std::uint64_t whole = filled_ - filled_ % sample_size_;
    if (whole == 0) {
        return !failed_;
    }
    if (!write_all(buffer_.get(), whole)) {
        filled_ = 0;  // counted as lost
        return false;
    }
    std::memmove(buffer_.get(), buffer_.get() + whole, filled_ - whole);
    filled_ -= whole;
    return true;
}

bool RecordingWriter::write_all(const std::uint8_t* bytes, std::uint64_t size) {
    if (const int code = write_fully(data_.fd, bytes, size, on_disk_)) {
        fail(code, "cannot write " + data_name());
        return false;
    }
    return true;
}

// About once a second: what is buffered goes to disk, and the .npy count and the SigMF metadata
// catch up with it.
void RecordingWriter::sync(std::int64_t now_ns) {
    last_sync_ns_ = now_ns;
    if (!flush()) {
        return;
    }
    const std::uint64_t count = on_disk_ / sample_size_;
    if (options_.format == Format::npy && count != synced_count_) {
        write_count(count);
    } else if (options_.format == Format::sigmf && meta_dirty_ && prepare_meta()) {
        put_meta();
    }
}

// The .npy header's count, in place.
void RecordingWriter::write_count(std::uint64_t count) {
    const std::string header = recording::npy_header(options_.sample_type, count);
    if (::pwrite(data_.fd, header.data(), header.size(), 0) !=
        static_cast<ssize_t>(header.size())) {
        fail(errno, "cannot update the header of " + data_.target.string());
        return;
    }
    synced_count_ = count;
}

std::string RecordingWriter::data_name() const {
    return options_.fd >= 0 ? "descriptor " + std::to_string(options_.fd) : data_.target.string();
}

std::uint64_t RecordingWriter::samples_so_far() const noexcept {
    return (on_disk_ + filled_) / sample_size_;
}

void RecordingWriter::fail(int code, const std::string& what) noexcept {
    failed_ = true;
    if (std::exchange(error_kept_, true)) {
        return;  // the first failure is the one that counts
    }
    std::lock_guard lock(status_->mutex_);
    status_->error_code_ = code;
    try {
        status_->error_text_ = what + ": " + std::generic_category().message(code);
    } catch (...) {
        // no memory for the text: the code says it
    }
    status_->notify();
}

// Whatever ended the recording: the data file keeps its whole samples (a partial one left by a
// failed write is cut off), the .npy count and the SigMF metadata say what it holds, the files
// are closed, and temporaries never put in place are removed.
void RecordingWriter::finish() noexcept {
    if (finished_) {
        return;
    }
    finished_ = true;
    std::uint64_t whole = 0;
    try {
        if (placed_ && !failed_ && flush()) {
            cut_ += filled_;  // a partial sample at the end
            filled_ = 0;
        }
        whole = on_disk_ - on_disk_ % sample_size_;
        if (placed_ && data_.in_place) {
            if (whole != on_disk_ && data_.regular &&
                ::ftruncate(data_.fd, static_cast<off_t>(header_size_ + whole)) != 0) {
                fail(errno, "cannot cut off a partial sample of " + data_.target.string());
            }
            if (options_.format == Format::npy) {
                write_count(whole / sample_size_);
            }
        }
        if (options_.format == Format::sigmf && meta_.in_place) {
            if (failed_) {  // where the samples end, and why
                // Notes placed after what reached the disk (buffered samples that a failed write
                // lost) move to the end of the samples, so that they stay in order.
                for (auto& annotation : sigmf_.annotations) {
                    annotation.sample_start =
                        std::min(annotation.sample_start, whole / sample_size_);
                }
                std::lock_guard lock(status_->mutex_);
                sigmf_.annotations.push_back({whole / sample_size_, 0, "recording stopped",
                                              "recording stopped: " + status_->error_text_});
            }
            if (prepare_meta()) {
                put_meta();
            }
        }
        if (data_.owned && data_.fd >= 0 && data_.in_place) {
            if (::close(data_.fd) != 0) {
                fail(errno, "cannot write " + data_name());
            }
            data_.fd = -1;
        }
    } catch (...) {
        fail(ENOMEM, "cannot finish " + data_name());
    }
    discard(data_);
    discard(meta_);
    RecordingStatus& status = *status_;
    status.samples_.store(whole / sample_size_, std::memory_order_relaxed);
    status.cut_bytes_.store(cut_, std::memory_order_relaxed);
    status.lost_bytes_.store(failed_ ? taken_ - cut_ - whole : 0, std::memory_order_relaxed);
    if (options_.tap) {
        options_.tap->close();
    }
    status.finished_.store(true, std::memory_order_release);
    std::lock_guard lock(status.mutex_);
    status.notify();
}

}  // namespace vorn::DataStream
