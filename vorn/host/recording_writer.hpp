// Recording a stream to disk on its delivery thread, with no interpreter in the data path: raw
// bytes, a .npy file, or SigMF (samples plus metadata that says where gaps and device errors were).
//
// Invariants
// - However the recording ends (the end of the stream, a device error, a full disk, the writer
//   destroyed without an end), the files hold whole samples only and are valid: a .npy header
//   counts the samples on disk, SigMF metadata lists the captures and annotations up to there.
//   While recording, the data file holds whole samples only too; a .npy count and the SigMF
//   metadata are brought up to date at most about once a second (by the chunks' push times), so
//   a killed process loses at most about the last second from them.
// - Files are written as new hidden files beside their targets and put in place (renamed) when
//   the first data comes; a recording that ends before any data leaves existing files untouched
//   and removes its own.
// - The data file holds only the samples that came. When bytes go missing (the queue dropped
//   them: a jump of EventInfo::offset), a partial sample before the gap is left out and so are the
//   bytes after it up to the next sample boundary of the stream, so every sample stays on the
//   stream's grid; a SigMF recording starts a new capture there, whose core:global_index is the
//   stream position of its first sample (in samples).
// - An Error event whose text is a gap message (recording/gap.hpp: "recording gap: N samples
//   missing") is a gap of N samples in the stream, not a device error: a replayed recording
//   carries its gaps as these events, and recording it again keeps them. The byte offsets do not
//   count those samples, so from then on the writer adds them to the stream position itself: a
//   SigMF recording starts a new capture there whose core:global_index jumps by N; raw and .npy
//   files, which have no place for a gap, just go on. A gap is neither counted as a device error
//   nor as a drop.
// - SigMF annotations carry a core:label: "device error" (a device's Error event, its text the
//   comment), "gap" (a drop report or a gap message), "recording stopped" (a write failure).
// - A write failure never throws: the first one (errno and text) is kept and reported by
//   progress(), nothing more is written, later data is counted as lost, and the files are finished
//   with what is on disk. The host must ignore SIGXFSZ (a write beyond the file-size limit then
//   fails with EFBIG instead of killing the process).
// Ownership
// - The writer owns its files (and their descriptors), except a descriptor given in the options,
//   which it writes to but never closes. The status behind progress() is shared: whoever asked
//   for status() may read it after the writer is gone. The tap is shared with its reader; the
//   writer closes it when the recording is finished.
// Threads
// - Construction on any thread; deliver(), dropped() and the destructor on one thread at a time
//   (the delivery thread, which destroys its consumer). progress(), status() and the status's
//   calls on any thread at any time: counters are atomics, the texts sit under a mutex that the
//   delivery thread takes only on failures, device errors, drop reports and at the end.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vorn/host/stream_consumer.hpp"
#include "vorn/host/tap_slot.hpp"
#include "vorn/recording/sample_type.hpp"
#include "vorn/recording/sigmf.hpp"

namespace vorn::DataStream {

struct RecordingOptions {
    enum class Format { raw, npy, sigmf };

    // The file; for sigmf the base name: path + ".sigmf-data" and path + ".sigmf-meta".
    std::filesystem::path path;
    Format format = Format::raw;
    recording::SampleType sample_type;
    // SigMF metadata: core:sample_rate when given, core:description, core:hw and core:recorder
    // when not empty.
    std::optional<double> sample_rate;
    std::string description;
    std::string hw;
    std::string recorder;
    // Raw only: write to this open descriptor (standard output) instead of `path`; no temporary
    // file, no rename, never closed.
    int fd = -1;
    // Offered every chunk taken; none when null.
    std::shared_ptr<TapSlot> tap;
    // Take at most this many data bytes (the chunk that crosses it is cut) or chunks; then the
    // recording is complete and later data is ignored (not counted).
    std::optional<std::uint64_t> max_bytes;
    std::optional<std::uint64_t> max_chunks;
};

struct RecordingProgress {
    // Data taken from the stream.
    std::uint64_t bytes = 0;
    std::uint64_t chunks = 0;
    // Whole samples in the data file (once finished: exactly the file's).
    std::uint64_t samples = 0;
    // Events and bytes the queue dropped.
    Dropped dropped;
    // Device error events.
    std::uint64_t errors = 0;
    // Bytes taken but not in the file because writing failed.
    std::uint64_t lost_bytes = 0;
    // Bytes left out because they made no whole sample: at a gap and at the end.
    std::uint64_t cut_bytes = 0;
    // The files are finished (complete, closed and in place, or removed when no data came).
    bool finished = false;
    // max_bytes or max_chunks was reached.
    bool complete = false;
    // The first failure to write (errno, and what failed on which file); 0 and empty when none.
    int error_code = 0;
    std::string error_text;
    // The text of the first device error event; empty when none.
    std::string device_error;
    // Push times (CLOCK_MONOTONIC ns) of the first and the last chunk taken; 0 before any.
    std::int64_t first_time_ns = 0;
    std::int64_t last_time_ns = 0;
};

// What a recording has done so far, readable from any thread, also after the writer is gone.
class RecordingStatus {
  public:
    RecordingProgress progress() const;
    // Waits until something a watcher acts on happened after `seen` (a value this returned
    // before; 0 at first): a device error, a drop report, a write failure, the limit reached, the
    // end. Returns at once or after `timeout` (negative: without limit) with the current count of
    // such happenings.
    std::uint64_t wait(std::uint64_t seen, std::chrono::nanoseconds timeout) const;

  private:
    friend class RecordingWriter;
    // Counters: written by the delivery thread only (plain stores), read anywhere.
    void add(std::atomic<std::uint64_t>& counter, std::uint64_t n) noexcept {
        counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    void notify();

    std::atomic<std::uint64_t> bytes_{0}, chunks_{0}, samples_{0};
    std::atomic<std::uint64_t> dropped_events_{0}, dropped_bytes_{0}, errors_{0};
    std::atomic<std::uint64_t> lost_bytes_{0}, cut_bytes_{0};
    std::atomic<std::int64_t> first_time_ns_{0}, last_time_ns_{0};
    std::atomic<bool> complete_{false};
    std::atomic<bool> finished_{false};  // set last, with release: the counters are final then

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::uint64_t happenings_ = 0;
    int error_code_ = 0;
    std::string error_text_;
    std::string device_error_;
};

class RecordingWriter final : public Consumer {
  public:
    // The size of the buffer that gathers small chunks into large writes; chunks of at least half
    // of it are written directly.
    static constexpr std::size_t buffer_size = 1 << 20;

    // Creates the new files (not in place yet). Throws std::system_error (errno, with the path)
    // when they cannot be created or their start written, std::invalid_argument for a sample type
    // the format cannot name, a non-finite sample rate, a descriptor for a format other than raw,
    // or a path that is not a regular file for npy or sigmf (raw writes to it as it is: a FIFO, a
    // device).
    explicit RecordingWriter(RecordingOptions options);
    // Finishes the recording if the end never came (delivery cancelled).
    ~RecordingWriter() override;
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Data is written; a gap message marks a gap, another error is a device error, counted (both
    // annotated in SigMF); the end finishes the files. `at.offset` must be the stream position, as
    // the queue stamps it.
    void deliver(Event&& event, const EventInfo& at) override;
    // Counted; annotated in SigMF at the place of the gap.
    void dropped(const Dropped& lost, const EventInfo& at) override;

    RecordingProgress progress() const { return status_->progress(); }
    std::shared_ptr<const RecordingStatus> status() const noexcept { return status_; }
    // Where the data goes (empty for a descriptor), and the SigMF metadata (empty for others).
    const std::filesystem::path& data_path() const noexcept { return data_.target; }
    const std::filesystem::path& meta_path() const noexcept { return meta_.target; }

  private:
    // One output file: its target, and a new file beside it not in place yet (the data before
    // the first chunk; the metadata while it is rewritten).
    struct File {
        std::filesystem::path target;
        std::filesystem::path temporary;  // removed when the recording ends without placing it
        int fd = -1;
        bool in_place = false;       // written as the target itself (renamed, or never a temporary)
        bool owned = false;          // closed by the writer
        bool regular = false;        // a file of the writer's own, which it may truncate
        std::optional<mode_t> mode;  // the target's permissions when it existed
    };

    static void open_target(File& file, const std::filesystem::path& target, bool raw);
    static int create_temporary(File& file) noexcept;
    static void discard(File& file) noexcept;
    bool place();
    bool prepare_meta();
    bool put_meta();
    void annotate(std::string label, std::string comment);
    void take(const std::uint8_t* bytes, std::uint64_t size, const EventInfo& at);
    void jump_to(const EventInfo& at);
    void append(const std::uint8_t* bytes, std::uint64_t size);
    bool flush();
    bool write_all(const std::uint8_t* bytes, std::uint64_t size);
    void sync(std::int64_t now_ns);
    void write_count(std::uint64_t count);
    std::string data_name() const;
    std::uint64_t samples_so_far() const noexcept;
    void fail(int code, const std::string& what) noexcept;
    void finish() noexcept;

    RecordingOptions options_;
    std::shared_ptr<RecordingStatus> status_ = std::make_shared<RecordingStatus>();
    std::uint32_t sample_size_;
    std::uint64_t header_size_ = 0;  // bytes before the samples in the data file
    File data_;
    File meta_;
    recording::SigmfMeta sigmf_;
    bool meta_dirty_ = false;              // sigmf_ has changed since it was last written
    std::int64_t realtime_offset_ns_ = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC, at construction

    std::unique_ptr<std::uint8_t[]> buffer_;
    std::uint64_t filled_ = 0;   // bytes in buffer_, not written yet
    std::uint64_t on_disk_ = 0;  // data bytes written to the file
    std::uint64_t taken_ = 0;    // data bytes taken
    std::uint64_t cut_ = 0;      // bytes left out as partial samples
    std::uint64_t skip_ = 0;     // bytes still to leave out up to a sample boundary
    std::uint64_t chunks_ = 0;
    std::uint64_t next_offset_ = 0;   // the stream position right after the last chunk
    std::uint64_t gap_samples_ = 0;   // samples of gap messages so far, beyond the byte offsets
    bool gap_pending_ = false;        // a gap message came: the next data starts after a gap
    std::uint64_t synced_count_ = 0;  // the count in the .npy header on disk
    std::int64_t last_sync_ns_ = 0;
    bool seen_data_ = false;
    bool placed_ = false;      // the first data came and the files were (to be) put in place
    bool failed_ = false;      // writing failed: nothing more is written
    bool error_kept_ = false;  // the first failure is in the status
    bool complete_ = false;
    bool finished_ = false;
};

}  // namespace vorn::DataStream
