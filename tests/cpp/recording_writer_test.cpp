// Recordings written on the delivery side: each format read back against the counter pattern,
// gaps and device errors in SigMF metadata, a full disk, an end before any data, the format code
// shared with plugins, the live tap, and a session of the simulated device into a file.
//
// VORN_KEEP_RECORDINGS=<dir> keeps the files (in a new directory under <dir>) for outside readers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vorn/host/loader.hpp"
#include "vorn/host/recording_writer.hpp"
#include "vorn/host/stream_session.hpp"
#include "vorn/recording/gap.hpp"
#include "vorn/recording/json.hpp"
#include "vorn/recording/npy.hpp"
#include "vorn/recording/sigmf.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vorn::DataStream::Dropped;
using vorn::DataStream::Event;
using vorn::DataStream::EventInfo;
using vorn::DataStream::RecordingOptions;
using vorn::DataStream::RecordingWriter;
using vorn::DataStream::TapSlot;
using vorn::DataStream::Events::OwnedData;
using vorn::recording::SampleType;
using Format = RecordingOptions::Format;

const SampleType u32 = vorn::recording::parse_numpy_descr("<u4");

// The stream of the tests: sample i (little-endian uint32) is i, at byte 4 i.
OwnedData counter_bytes(std::uint64_t offset, std::uint64_t size) {
    auto chunk = OwnedData::allocate(size);
    for (std::uint64_t k = 0; k < size; ++k) {
        const std::uint64_t at = offset + k;
        chunk.data()[k] =
            static_cast<std::uint8_t>(static_cast<std::uint32_t>(at / 4) >> (8 * (at % 4)));
    }
    return chunk;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint32_t> samples_of(std::string_view bytes) {
    std::vector<std::uint32_t> samples(bytes.size() / 4);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
    return samples;
}

struct Capture {
    std::uint64_t sample_start;
    std::uint64_t global_index;
};

// The number right after `key` at `pos`, and where it ends; nothing when `key` is not there.
std::optional<std::pair<std::uint64_t, std::size_t>> number_after(const std::string& text,
                                                                  std::string_view key,
                                                                  std::size_t pos) {
    if (text.compare(pos, key.size(), key) != 0) {
        return std::nullopt;
    }
    pos += key.size();
    const std::size_t end = text.find_first_not_of("0123456789", pos);
    return std::pair{std::stoull(text.substr(pos, end - pos)), end};
}

// The captures of SigMF metadata as the writer lays it out (annotations have no global index).
std::vector<Capture> captures_of(const std::string& meta) {
    std::vector<Capture> found;
    const std::string_view start_key = "\"core:sample_start\": ";
    for (std::size_t pos = meta.find(start_key); pos != std::string::npos;
         pos = meta.find(start_key, pos + 1)) {
        const auto start = number_after(meta, start_key, pos);
        const std::size_t next = meta.find_first_not_of(", \n", start->second);
        if (const auto index = number_after(meta, "\"core:global_index\": ", next)) {
            found.push_back({start->first, index->first});
        }
    }
    return found;
}

// Every sample of a SigMF data file equals its place in the stream, by the captures; the count.
std::uint64_t expect_counter_by_captures(const std::vector<std::uint32_t>& samples,
                                         const std::vector<Capture>& captures) {
    EXPECT_FALSE(captures.empty());
    std::uint64_t mismatches = 0;
    for (std::size_t c = 0; c < captures.size(); ++c) {
        const std::uint64_t end =
            c + 1 < captures.size() ? captures[c + 1].sample_start : samples.size();
        for (std::uint64_t i = captures[c].sample_start; i < end; ++i) {
            mismatches += samples[i] != static_cast<std::uint32_t>(captures[c].global_index + i -
                                                                   captures[c].sample_start);
        }
    }
    EXPECT_EQ(mismatches, 0u);
    return samples.size();
}

class RecordingWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* keep = std::getenv("VORN_KEEP_RECORDINGS");
        const fs::path base = keep != nullptr ? fs::path(keep) : fs::temp_directory_path();
        fs::create_directories(base);
        std::string pattern = (base / "recording-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        keep_ = keep != nullptr;
    }
    void TearDown() override {
        if (!keep_) {
            fs::remove_all(dir_);
        }
    }

    RecordingOptions options(Format format, const std::string& name) const {
        RecordingOptions o;
        o.path = dir_ / name;
        o.format = format;
        o.sample_type = u32;
        o.recorder = "recording_writer_test";
        o.hw = "counter";
        return o;
    }
    // Feeds the stream's bytes [offset, offset + size) as one chunk, pushed at `time_ns`.
    static void feed(RecordingWriter& writer, std::uint64_t offset, std::uint64_t size,
                     std::int64_t time_ns = 1'000'000'000) {
        writer.deliver(Event{counter_bytes(offset, size)}, {offset, time_ns});
    }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            found.push_back(entry.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    fs::path dir_;
    bool keep_ = false;
};

// Each format holds the counter, whatever the chunk sizes: small ones gathered, a large one
// written directly, chunks that split samples; a partial sample at the end is left out.
TEST_F(RecordingWriterTest, EachFormatHoldsTheCounterPattern) {
    for (const Format format : {Format::raw, Format::npy, Format::sigmf}) {
        const std::string name = format == Format::raw   ? "counter.raw"
                                 : format == Format::npy ? "counter.npy"
                                                         : "counter";
        auto opts = options(format, name);
        opts.sample_rate = 1e6;
        opts.description = "counter \"pattern\"";
        auto writer = std::make_unique<RecordingWriter>(opts);
        std::uint64_t offset = 0;
        for (const std::uint64_t size : {4096u, 3u, 5u, 4093u}) {  // samples split across chunks
            feed(*writer, offset, size);
            offset += size;
        }
        for (int i = 0; i < 600; ++i) {  // beyond the buffer: gathered writes
            feed(*writer, offset, 4096);
            offset += 4096;
        }
        feed(*writer, offset, 3 * RecordingWriter::buffer_size / 4 + 2);  // direct, ends mid-sample
        offset += 3 * RecordingWriter::buffer_size / 4 + 2;
        feed(*writer, offset, 1);
        offset += 1;
        writer->deliver(Event{}, {offset, 2'000'000'000});
        const auto progress = writer->progress();
        EXPECT_TRUE(progress.finished);
        EXPECT_EQ(progress.bytes, offset);
        EXPECT_EQ(progress.chunks, 606u);
        EXPECT_EQ(progress.samples, offset / 4);
        EXPECT_EQ(progress.cut_bytes, offset % 4);
        EXPECT_EQ(progress.error_code, 0);
        EXPECT_EQ(progress.first_time_ns, 1'000'000'000);

        std::string data;
        if (format == Format::npy) {
            const std::string file = read_file(dir_ / name);
            const auto header = vorn::recording::parse_npy_header(file);
            EXPECT_EQ(header.sample_type, u32);
            EXPECT_EQ(header.count, offset / 4);
            data = file.substr(header.data_offset);
        } else if (format == Format::raw) {
            data = read_file(dir_ / name);
        } else {
            data = read_file(dir_ / "counter.sigmf-data");
            const std::string meta = read_file(dir_ / "counter.sigmf-meta");
            EXPECT_NE(meta.find(R"("core:datatype": "ru32_le")"), std::string::npos) << meta;
            EXPECT_NE(meta.find(R"("core:sample_rate": 1e+06)"), std::string::npos) << meta;
            EXPECT_NE(meta.find(R"("core:description": "counter \"pattern\"")"), std::string::npos);
            const std::size_t datetime = meta.find(R"("core:datetime": ")");
            ASSERT_NE(datetime, std::string::npos) << meta;
            const std::string when =
                meta.substr(datetime + 18, 28);  // 2024-05-01T12:00:00.123456Z"
            EXPECT_EQ(when.substr(26), "Z\"") << when;
            EXPECT_EQ(when.substr(10, 1) + when.substr(19, 1), "T.") << when;
            ASSERT_EQ(captures_of(meta).size(), 1u);
            EXPECT_EQ(captures_of(meta)[0].global_index, 0u);
        }
        const auto samples = samples_of(data);
        ASSERT_EQ(data.size(), offset / 4 * 4) << name;
        for (std::uint32_t i = 0; i < samples.size(); ++i) {
            ASSERT_EQ(samples[i], i) << name;
        }
    }
    EXPECT_EQ(names(), (std::vector<std::string>{"counter.npy", "counter.raw", "counter.sigmf-data",
                                                 "counter.sigmf-meta"}));
}

// A gap starts a new capture at the stream position of its first whole sample, with an
// annotation there; the partial sample before it and the bytes up to the next sample boundary
// after it are left out, so every sample stays on the stream's grid. A second drop before any
// data moves that capture on.
TEST_F(RecordingWriterTest, GapsStartCapturesWhereTheSamplesContinue) {
    RecordingWriter writer(options(Format::sigmf, "gaps"));
    feed(writer, 0, 4098);                 // 1024 samples and 2 bytes
    writer.dropped({3, 1000}, {4098, 0});  // up to 5098, mid-sample
    feed(writer, 5098, 4000);              // first whole sample at 5100: 1275
    writer.dropped({1, 64}, {9098, 0});
    writer.dropped({2, 0}, {9162, 0});   // events without data: no new capture
    writer.dropped({1, 32}, {9162, 0});  // no data between: the capture moves on
    feed(writer, 9194, 406);             // first whole sample at 9196: 2299
    writer.deliver(Event{}, {9600, 0});

    const auto progress = writer.progress();
    EXPECT_EQ(progress.dropped, (Dropped{7, 1096}));
    EXPECT_EQ(progress.samples, 1024u + 999u + 101u);
    EXPECT_EQ(progress.cut_bytes, 2u + 2u + 2u + 2u);  // on both sides of each gap
    EXPECT_EQ(progress.bytes, progress.samples * 4 + progress.cut_bytes);

    const std::string meta = read_file(dir_ / "gaps.sigmf-meta");
    const auto captures = captures_of(meta);
    ASSERT_EQ(captures.size(), 3u) << meta;
    EXPECT_EQ(captures[1].sample_start, 1024u);
    EXPECT_EQ(captures[1].global_index, 1275u);
    EXPECT_EQ(captures[2].sample_start, 2023u);
    EXPECT_EQ(captures[2].global_index, 2299u);
    EXPECT_EQ(expect_counter_by_captures(samples_of(read_file(dir_ / "gaps.sigmf-data")), captures),
              progress.samples);
    const std::string first_annotation =
        R"("core:sample_start": 1024,)"
        "\n"
        R"(      "core:sample_count": 0,)"
        "\n"
        R"(      "core:label": "gap",)"
        "\n"
        R"(      "core:comment": "Queue Overflow, dropping event: 3 events dropped, 1000 bytes of data lost")";
    EXPECT_NE(meta.find(first_annotation), std::string::npos) << meta;
    EXPECT_NE(meta.find("2 events dropped, 0 bytes"), std::string::npos);
}

// A device error is counted, kept (the first) and annotated with its text, escaped, at its place,
// labelled as one.
TEST_F(RecordingWriterTest, DeviceErrorsBecomeAnnotationsAtTheirPlace) {
    RecordingWriter writer(options(Format::sigmf, "errors"));
    feed(writer, 0, 400);
    writer.deliver(Event{vorn::DataStream::Events::Error{"link \"down\"\n\xff"}}, {400, 0});
    feed(writer, 400, 400);
    writer.deliver(Event{vorn::DataStream::Events::Error{"second"}}, {800, 0});
    writer.deliver(Event{}, {800, 0});
    const auto progress = writer.progress();
    EXPECT_EQ(progress.errors, 2u);
    EXPECT_EQ(progress.device_error, "link \"down\"\n\xff");
    EXPECT_EQ(progress.samples, 200u);
    const std::string meta = read_file(dir_ / "errors.sigmf-meta");
    EXPECT_NE(meta.find(R"("core:sample_start": 100,)"
                        "\n"
                        R"(      "core:sample_count": 0,)"
                        "\n"
                        R"(      "core:label": "device error",)"
                        "\n"
                        R"(      "core:comment": "link \"down\"\n)"
                        "\xEF\xBF\xBD\""),
              std::string::npos)
        << meta;
    EXPECT_NE(meta.find(R"("core:sample_start": 200,)"), std::string::npos);
    EXPECT_EQ(captures_of(meta).size(), 1u);  // an error is no gap
}

// A gap message in the stream (as a replay sends a recording's gaps) is no device error and no
// drop: the samples after it continue at a global index further on by its samples, from then on
// (a drop later jumps from there), annotated "gap"; raw data just goes on.
TEST_F(RecordingWriterTest, GapMessagesJumpTheGlobalIndexFromThenOn) {
    using vorn::recording::gap_message;
    for (const Format format : {Format::sigmf, Format::raw}) {
        RecordingWriter writer(
            options(format, format == Format::raw ? "replayed.raw" : "replayed"));
        const auto error = [&](const std::string& text, std::uint64_t offset) {
            writer.deliver(Event{vorn::DataStream::Events::Error{text}}, {offset, 0});
        };
        error(gap_message(10), 0);  // before any data: the first capture starts at 10
        feed(writer, 0, 400);
        error(gap_message(50), 400);
        feed(writer, 400, 400);  // stream samples 100.. at 160..
        error("link down", 800);
        writer.dropped({1, 40}, {800, 0});  // 10 samples more
        feed(writer, 840, 40);
        writer.deliver(Event{}, {880, 0});

        const auto progress = writer.progress();
        EXPECT_EQ(progress.errors, 1u);
        EXPECT_EQ(progress.device_error, "link down");
        EXPECT_EQ(progress.dropped, (Dropped{1, 40}));
        const std::string data =
            read_file(dir_ / (format == Format::raw ? "replayed.raw" : "replayed.sigmf-data"));
        const auto samples = samples_of(data);
        ASSERT_EQ(samples.size(), 210u);
        for (std::uint32_t i = 0; i < samples.size(); ++i) {
            ASSERT_EQ(samples[i], i < 200 ? i : i + 10);
        }
        if (format != Format::sigmf) {
            continue;
        }
        using vorn::recording::SigmfAnnotation;
        using vorn::recording::SigmfCapture;
        const auto meta =
            vorn::recording::parse_sigmf_meta(read_file(dir_ / "replayed.sigmf-meta"));
        ASSERT_FALSE(meta.captures.empty());
        EXPECT_EQ(meta.captures,
                  (std::vector<SigmfCapture>{
                      {0, 10, meta.captures[0].datetime}, {100, 160, ""}, {200, 270, ""}}));
        EXPECT_EQ(meta.annotations,
                  (std::vector<SigmfAnnotation>{
                      {0, 0, "gap", gap_message(10)},
                      {100, 0, "gap", gap_message(50)},
                      {200, 0, "device error", "link down"},
                      {200, 0, "gap", vorn::DataStream::overflow_message({1, 40})}}));
    }
}

// A file-size limit stops the writer with the first error, EFBIG, without killing the process
// (SIGXFSZ ignored, as the host does): the data beyond is counted as lost, and the file is a valid
// .npy file of the whole samples on disk.
TEST_F(RecordingWriterTest, AFullDiskKeepsTheFirstErrorAndAValidFile) {
    constexpr rlim_t limit = 300'001;  // mid-sample, after the 128-byte header
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit lowered = old_limit;
    lowered.rlim_cur = limit;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    vorn::DataStream::RecordingProgress progress;
    {
        RecordingWriter writer(options(Format::npy, "full.npy"));
        std::uint64_t offset = 0;
        for (int i = 0; i < 400; ++i) {
            const std::uint64_t size = i % 2 == 0 ? 4096 : 601 * 1024;  // gathered and direct
            feed(writer, offset, size);
            offset += size;
        }
        writer.deliver(Event{}, {offset, 0});
        progress = writer.progress();
        EXPECT_EQ(progress.bytes, offset);
    }
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_TRUE(progress.finished);
    EXPECT_EQ(progress.error_code, EFBIG);
    EXPECT_NE(progress.error_text.find((dir_ / "full.npy").string()), std::string::npos)
        << progress.error_text;
    EXPECT_EQ(progress.samples, (limit - 128) / 4);
    EXPECT_EQ(progress.bytes, progress.samples * 4 + progress.lost_bytes + progress.cut_bytes);
    const std::string file = read_file(dir_ / "full.npy");
    const auto header = vorn::recording::parse_npy_header(file);
    EXPECT_EQ(header.count, progress.samples);
    ASSERT_EQ(file.size(), 128 + 4 * header.count);
    const auto samples = samples_of(std::string_view(file).substr(128));
    for (std::uint32_t i = 0; i < samples.size(); ++i) {
        ASSERT_EQ(samples[i], i);
    }
    EXPECT_EQ(names(), std::vector<std::string>{"full.npy"});
}

// While recording, the data, the .npy count and the SigMF metadata catch up about once a second
// (by the chunks' push times), so that a killed process leaves files that say what they hold.
TEST_F(RecordingWriterTest, WhileRecordingTheFilesCatchUpAboutOnceASecond) {
    RecordingWriter npy(options(Format::npy, "live.npy"));
    RecordingWriter sigmf(options(Format::sigmf, "live"));
    for (auto* writer : {&npy, &sigmf}) {
        feed(*writer, 0, 4096, 1'000'000'000);
        feed(*writer, 4096, 4096, 1'500'000'000);
        writer->dropped({1, 4096}, {8192, 0});
        feed(*writer, 12288, 4096, 2'100'000'000);  // a second after the first: caught up
        feed(*writer, 16384, 4096, 2'200'000'000);  // not yet again
    }
    const std::string file = read_file(dir_ / "live.npy");
    EXPECT_EQ(vorn::recording::parse_npy_header(file).count, 3072u);
    EXPECT_EQ(file.size(), 128u + 3072 * 4);
    const auto captures = captures_of(read_file(dir_ / "live.sigmf-meta"));
    ASSERT_EQ(captures.size(), 2u);
    EXPECT_EQ(captures[1].global_index, 3072u);
    EXPECT_EQ(read_file(dir_ / "live.sigmf-data").size(), 3072u * 4);
}

// Files go in place only when data comes: an end before it leaves the old files as they were and
// removes the new ones; the first data replaces them, with their permissions. Files that cannot
// be made are refused at once, with the path.
TEST_F(RecordingWriterTest, OldFilesStayUntilDataComes) {
    for (const auto& name : {"old.npy", "old.sigmf-data", "old.sigmf-meta"}) {
        std::ofstream(dir_ / name) << "old";
        fs::permissions(dir_ / name,
                        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    }
    {
        RecordingWriter npy(options(Format::npy, "old.npy"));
        RecordingWriter sigmf(options(Format::sigmf, "old"));
        EXPECT_EQ(names().size(), 6u);  // the new files beside the old ones
        npy.deliver(Event{}, {0, 0});
        EXPECT_TRUE(npy.progress().finished);
        // sigmf ends without the end: destroyed, as a cancelled delivery does
    }
    EXPECT_EQ(names(), (std::vector<std::string>{"old.npy", "old.sigmf-data", "old.sigmf-meta"}));
    EXPECT_EQ(read_file(dir_ / "old.npy"), "old");
    EXPECT_EQ(read_file(dir_ / "old.sigmf-meta"), "old");
    {
        RecordingWriter sigmf(options(Format::sigmf, "old"));
        feed(sigmf, 0, 8);
    }
    EXPECT_EQ(read_file(dir_ / "old.sigmf-data").size(), 8u);
    EXPECT_EQ(fs::status(dir_ / "old.sigmf-meta").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(names().size(), 3u);

    try {
        RecordingWriter missing(options(Format::raw, "no/such/dir.raw"));
        ADD_FAILURE() << "created";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOENT);
        EXPECT_NE(std::string(error.what()).find("no/such/dir.raw"), std::string::npos);
    }
    auto to_device = options(Format::npy, "");
    to_device.path = "/dev/null";
    EXPECT_THROW(RecordingWriter{to_device}, std::invalid_argument);
}

// The format code that plugins share: type names both ways, refusals, the .npy header.
TEST(RecordingFormats, SampleTypeNamesAndTheNpyHeaderRoundTrip) {
    using vorn::recording::numpy_descr;
    using vorn::recording::parse_numpy_descr;
    using vorn::recording::parse_sigmf_datatype;
    using vorn::recording::sigmf_datatype;
    const std::vector<std::pair<std::string, std::string>> names = {
        {"<u4", "ru32_le"}, {">u4", "ru32_be"}, {"|u1", "ru8"},
        {"|i1", "ri8"},     {"<i2", "ri16_le"}, {"<f4", "rf32_le"},
        {">f8", "rf64_be"}, {"<c8", "cf32_le"}, {">c16", "cf64_be"}};
    for (const auto& [descr, datatype] : names) {
        const SampleType type = parse_numpy_descr(descr);
        EXPECT_EQ(numpy_descr(type), descr);
        EXPECT_EQ(sigmf_datatype(type), datatype);
        EXPECT_EQ(parse_sigmf_datatype(datatype), type) << datatype;
    }
    EXPECT_EQ(parse_numpy_descr("<c8").size(), 8u);
    EXPECT_EQ(parse_numpy_descr("u2"), parse_numpy_descr("<u2"));  // this machine's order
    EXPECT_EQ(parse_numpy_descr("<u1"), parse_numpy_descr("|u1"));
    EXPECT_EQ(parse_sigmf_datatype("ru8_le"), parse_numpy_descr("|u1"));
    for (const char* bad : {"", "<", "<u3", "<x4", "|u4", "<c4", "<f1", "<u", "<u4x", "<U4"}) {
        EXPECT_THROW(parse_numpy_descr(bad), std::invalid_argument) << bad;
    }
    for (const char* bad : {"ci16_le", "ru64_le", "rf16_le", "xf32", "r", "rf3", "cu8"}) {
        EXPECT_THROW(parse_sigmf_datatype(bad), std::invalid_argument) << bad;
    }
    EXPECT_THROW(sigmf_datatype(parse_numpy_descr("<u8")), std::invalid_argument);
    EXPECT_THROW(sigmf_datatype(parse_numpy_descr("<f2")), std::invalid_argument);

    for (const std::uint64_t count : {std::uint64_t{0}, std::uint64_t{12345}, UINT64_MAX}) {
        const std::string header = vorn::recording::npy_header(parse_numpy_descr(">c16"), count);
        ASSERT_EQ(header.size(), vorn::recording::npy_header_size);
        EXPECT_EQ(header.back(), '\n');
        const auto parsed = vorn::recording::parse_npy_header(header);
        EXPECT_EQ(parsed.count, count);
        EXPECT_EQ(parsed.data_offset, 128u);
        EXPECT_EQ(parsed.sample_type, parse_numpy_descr(">c16"));
    }
    // As numpy writes it (version 2.0 here), keys in any order.
    std::string v2("\x93NUMPY\x02\x00", 8);
    const std::string dict = "{'shape': (7,), 'fortran_order': False, 'descr': '<i2'}\n";
    v2 += std::string{static_cast<char>(dict.size()), 0, 0, 0} + dict;
    const auto parsed = vorn::recording::parse_npy_header(v2);
    EXPECT_EQ(parsed.count, 7u);
    EXPECT_EQ(parsed.data_offset, v2.size());
    const std::string good = vorn::recording::npy_header(u32, 1);
    for (const std::string& bad : {std::string("nope"), good.substr(0, 60),
                                   std::string(good).replace(good.find("(1,)"), 4, "(1,2)"),
                                   std::string(good).replace(good.find("'descr'"), 7, "'dtype'")}) {
        EXPECT_THROW(vorn::recording::parse_npy_header(bad), std::invalid_argument) << bad;
    }
}

TEST(RecordingFormats, JsonStringsAreEscapedAndAlwaysValidUtf8) {
    std::string out;
    vorn::recording::append_json_string(out,
                                        "a\"b\\c\n\t\x01\x7f \xC3\xA9 \xE2\x82\xAC "
                                        "\xF0\x9F\x98\x80 \xC0\xAF \xED\xA0\x80 \xE2\x82");
    EXPECT_EQ(
        out,
        "\"a\\\"b\\\\c\\n\\t\\u0001\x7f \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 "
        "\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(vorn::recording::utc_datetime(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(vorn::recording::utc_datetime(951'782'400'123'456'789),
              "2000-02-29T00:00:00.123456Z");
}

// The tap takes the newest chunk at most once per interval (by push time), skips while the reader
// holds it, and ends its reader for good when the recording is finished.
TEST_F(RecordingWriterTest, TheTapTakesAtMostOneChunkPerInterval) {
    auto tap = std::make_shared<TapSlot>(10ms);
    auto opts = options(Format::raw, "tapped.raw");
    opts.tap = tap;
    RecordingWriter writer(opts);
    for (std::uint64_t i = 0; i < 10; ++i) {  // pushed 4 ms apart: taken at 0, 12, 24, 36 ms
        feed(writer, 16 * i, 16, static_cast<std::int64_t>(i) * 4'000'000);
    }
    const auto taken = tap->take(0s);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->at.offset, 16u * 9);  // the newest taken
    EXPECT_EQ(samples_of({reinterpret_cast<const char*>(taken->bytes.data()), 16})[0], 36u);
    EXPECT_FALSE(tap->take(0s));                                // once only
    std::thread reader([&] { EXPECT_FALSE(tap->take(-1s)); });  // waits without limit
    std::this_thread::sleep_for(20ms);
    writer.deliver(Event{}, {160, 0});
    reader.join();
    EXPECT_TRUE(tap->closed());
}

// A whole session: the simulated device's counter at full speed into a SigMF recording, watched
// meanwhile through its progress and its tap from other threads; every sample sits where its
// capture says, and the data holds every sample taken.
TEST_F(RecordingWriterTest, ASessionOfTheSimulatedDeviceRecordsItsCounter) {
    auto manager = vorn::get_device_manager(VORN_SIM_PLUGIN);
    ASSERT_NE(manager, nullptr);
    auto device = manager->create_device("sim1");
    ASSERT_NE(device, nullptr);
    device->set_register(0x100, 0, 0);     // counter waveform
    device->set_register(0x104, 4096, 0);  // chunk bytes
    device->set_register(0x108, 0, 0);     // as fast as possible
    device->set_register(0x10C, 2000, 0);  // chunks
    ASSERT_EQ(device->send_registers(), vorn::BasicDeviceStatus::Success);

    auto opts = options(Format::sigmf, "sim");
    opts.sample_rate = 1e6;
    opts.hw = device->get_info().value_or("sim");
    auto tap = std::make_shared<TapSlot>(0ns);
    opts.tap = tap;
    auto writer = std::make_unique<RecordingWriter>(opts);
    const auto status = writer->status();
    vorn::DataStream::SessionOptions session_options;
    session_options.keep_alive = manager;
    auto session = vorn::DataStream::StreamSession::start(*device, 0, std::move(writer),
                                                          std::move(session_options));
    ASSERT_NE(session, nullptr);
    std::uint64_t tapped = 0;
    std::thread tap_reader([&] {
        while (const auto chunk = tap->take(-1ns)) {
            tapped += chunk->bytes.size() == 4096 &&
                      samples_of({reinterpret_cast<const char*>(chunk->bytes.data()), 4})[0] ==
                          chunk->at.offset / 4;
        }
    });
    for (int i = 0; i < 60'000 && !session->wait(1ms); ++i) {
        const auto seen = status->progress();
        EXPECT_LE(seen.samples * 4, seen.bytes);
    }
    session.reset();
    tap_reader.join();  // the writer closed the tap when it finished
    EXPECT_GE(tapped, 1u);
    const auto progress = status->progress();
    EXPECT_TRUE(progress.finished);
    EXPECT_EQ(progress.error_code, 0) << progress.error_text;
    EXPECT_EQ(progress.bytes + progress.dropped.bytes, 2000u * 4096);
    EXPECT_EQ(progress.samples * 4, progress.bytes);
    const auto captures = captures_of(read_file(dir_ / "sim.sigmf-meta"));
    if (!progress.dropped.any()) {
        EXPECT_EQ(captures.size(), 1u);
    }
    EXPECT_EQ(expect_counter_by_captures(samples_of(read_file(dir_ / "sim.sigmf-data")), captures),
              progress.samples);
}

}  // namespace
