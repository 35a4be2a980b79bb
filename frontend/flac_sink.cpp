#include "frontend/flac_sink.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "frontend/md5_sum.h"
#include "frontend/piece_writer.h"
#include "frontend/run_cleanup.h"

// libFLAC's own switch for its MD5, exported but outside its public
// headers. The MD5 of the samples is the MD5 of the 16-bit little-endian
// frames as they come, summed by another thread of the pool while the
// encoder has the time for nothing but the encoding.
extern "C" FLAC__bool FLAC__stream_encoder_set_do_md5(FLAC__StreamEncoder* encoder,
                                                      FLAC__bool value);

namespace {

// Where the MD5 lies in the file: after "fLaC", STREAMINFO's block header
// and its first 18 bytes.
constexpr uint64_t md5_offset = 4 + 4 + 18;
constexpr bool frames_are_little_endian = std::endian::native == std::endian::little;

// libFLAC hands over one encoded frame of a few KiB at a time; they are
// gathered into writes of this size.
constexpr size_t write_bytes = 65536;
// Samples are widened to 32 bits this many frames at a time, which stay in
// the processor's cache on their way into the encoder.
constexpr int32_t widen_frames = 4096;
constexpr uint32_t seek_point_seconds = 10;

struct flac_sink;

// A piece to encode, or to add to the MD5.
struct encode_job {
    flac_sink* sink;
    int16_t* piece;
    int32_t frames;
    bool sum;
};

// The encoders' pool, shared by every FLAC sink alive: its threads run
// while one is. A sink's pieces are encoded one at a time, in the order
// they came, and summed likewise; the sum, the encoding and different
// sinks' pieces go side by side.
std::mutex pool_lock;
std::condition_variable pool_changed;
std::deque<encode_job> jobs;
std::unordered_map<const int16_t*, int> piece_jobs;  // jobs left of each piece
std::vector<std::thread> workers;
int live_sinks = 0;
bool stopping = false;

struct flac_sink : td_sink {
    td_output_file file;
    td_audio audio;
    FLAC__StreamEncoder* encoder = nullptr;
    FLAC__StreamMetadata* metadata[2] = {};
    unsigned metadata_count = 0;
    std::vector<uint8_t> gathered;
    bool own_md5 = false;  // summed in the pool rather than by the encoder
    td_md5 md5;
    uint64_t position = 0;  // where the next byte goes in the file
    // Set from the pool's threads: once lost, nothing more is encoded or
    // written.
    std::atomic<bool> lost{false};
    std::atomic<int> first_error{0};
    // Under the pool's lock.
    int queued = 0;
    bool encoding = false, summing = false;
    bool in_pool = false;

    ~flac_sink() override;
    int16_t* piece() override { return reinterpret_cast<int16_t*>(td_pieces_take()); }
    int32_t piece_frames() const override
    {
        return static_cast<int32_t>(td_piece_bytes / 2) / audio.channels;
    }
    void put(int16_t* piece, int32_t frames) override;
    bool failed() const override { return lost; }
    int error() const override { return first_error; }
    bool finish() override;
    bool publish() override { return td_file_publish(file); }
    void discard() override;
    td_output_file* positional(int64_t*) override { return nullptr; }

    void fail(int error)
    {
        int none = 0;
        first_error.compare_exchange_strong(none, error != 0 ? error : EIO);
        lost = true;
    }
    bool flush()
    {
        if (lost)
            return false;
        const bool ok = gathered.empty() || td_file_write(file, gathered.data(), gathered.size());
        gathered.clear();
        if (!ok)
            fail(file.error);
        return ok;
    }
    bool write(const uint8_t* bytes, size_t n)
    {
        if (gathered.size() + n > write_bytes && !flush())
            return false;
        if (lost)
            return false;
        gathered.insert(gathered.end(), bytes, bytes + n);
        position += n;
        return true;
    }
    bool seek(uint64_t offset)
    {
        if (!flush())
            return false;
        if (lseek(file.fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
            fail(errno);
            return false;
        }
        position = offset;
        return true;
    }
};

FLAC__StreamEncoderWriteStatus write_callback(const FLAC__StreamEncoder*, const FLAC__byte bytes[],
                                              size_t n, uint32_t, uint32_t, void* sink)
{
    return static_cast<flac_sink*>(sink)->write(bytes, n)
               ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
               : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

FLAC__StreamEncoderSeekStatus seek_callback(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                            void* sink)
{
    return static_cast<flac_sink*>(sink)->seek(offset) ? FLAC__STREAM_ENCODER_SEEK_STATUS_OK
                                                       : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
}

FLAC__StreamEncoderTellStatus tell_callback(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                            void* sink)
{
    *offset = static_cast<flac_sink*>(sink)->position;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

// The frames of a piece, widened and apart by channel, into the encoder.
void encode(flac_sink& sink, const int16_t* piece, int32_t frames)
{
    FLAC__int32 wide[2][widen_frames];
    const FLAC__int32* const channel[2] = {wide[0], wide[1]};
    const int32_t channels = sink.audio.channels;
    for (int32_t done = 0; done < frames && !sink.lost;) {
        const int32_t n = std::min(widen_frames, frames - done);
        const int16_t* in = piece + done * channels;
        if (channels == 1) {
            for (int32_t i = 0; i < n; i++)
                wide[0][i] = in[i];
        } else {
            for (int32_t i = 0; i < n; i++) {
                wide[0][i] = in[2 * i];
                wide[1][i] = in[2 * i + 1];
            }
        }
        if (!FLAC__stream_encoder_process(sink.encoder, channel, static_cast<uint32_t>(n)))
            sink.fail(EIO);
        done += n;
    }
}

// The first job whose sink no other thread is encoding (or summing, for a
// sum): its earlier pieces are done.
std::deque<encode_job>::iterator ready_job()
{
    return std::find_if(jobs.begin(), jobs.end(), [](const encode_job& j) {
        return !(j.sum ? j.sink->summing : j.sink->encoding);
    });
}

void run_job(const encode_job& j)
{
    if (j.sink->lost)
        return;
    if (j.sum)
        td_md5_add(j.sink->md5, j.piece,
                   static_cast<size_t>(j.frames) * 2 * static_cast<size_t>(j.sink->audio.channels));
    else
        encode(*j.sink, j.piece, j.frames);
}

void encode_pieces()
{
    std::unique_lock<std::mutex> hold(pool_lock);
    for (;;) {
        auto job = jobs.end();
        pool_changed.wait(hold, [&] {
            job = ready_job();
            return job != jobs.end() || (stopping && jobs.empty());
        });
        if (job == jobs.end())
            return;
        const encode_job j = *job;
        jobs.erase(job);
        bool& running = j.sum ? j.sink->summing : j.sink->encoding;
        running = true;
        hold.unlock();
        run_job(j);
        hold.lock();
        running = false;
        j.sink->queued--;
        if (--piece_jobs[j.piece] == 0) {
            piece_jobs.erase(j.piece);
            td_pieces_return(reinterpret_cast<uint8_t*>(j.piece));
        }
        pool_changed.notify_all();
    }
}

int processors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return std::max(1, CPU_COUNT(&set));
}

void join_pool(flac_sink& sink)
{
    std::lock_guard<std::mutex> hold(pool_lock);
    sink.in_pool = true;
    if (live_sinks++ > 0)
        return;
    stopping = false;
    // The encoders never take a stopping signal: the handler runs on the
    // thread that forks.
    td_signals_hold();
    for (int i = processors(); i > 0; i--)
        workers.emplace_back(encode_pieces);
    td_signals_release();
}

// Waits until every piece of sink is encoded (or dropped, once lost); the
// last sink to leave ends the pool's threads.
void leave_pool(flac_sink& sink)
{
    std::vector<std::thread> ending;
    {
        std::unique_lock<std::mutex> hold(pool_lock);
        if (!sink.in_pool)
            return;
        pool_changed.wait(hold,
                          [&] { return sink.queued == 0 && !sink.encoding && !sink.summing; });
        sink.in_pool = false;
        if (--live_sinks > 0)
            return;
        stopping = true;
        pool_changed.notify_all();
        ending.swap(workers);
    }
    for (std::thread& t : ending)
        t.join();
}

void flac_sink::put(int16_t* piece, int32_t frames)
{
    if (lost) {
        td_pieces_return(reinterpret_cast<uint8_t*>(piece));
        return;
    }
    std::lock_guard<std::mutex> hold(pool_lock);
    if (own_md5)
        jobs.push_back({this, piece, frames, true});
    jobs.push_back({this, piece, frames, false});
    piece_jobs[piece] = own_md5 ? 2 : 1;
    queued += piece_jobs[piece];
    pool_changed.notify_all();
}

// The last frames, then the metadata filled in where the file can be sought
// back in.
bool flac_sink::finish()
{
    leave_pool(*this);
    if (!lost && encoder != nullptr && !FLAC__stream_encoder_finish(encoder))
        fail(EIO);
    if (own_md5 && !lost) {
        uint8_t digest[16];
        td_md5_end(md5, digest);
        if (seek(md5_offset))
            write(digest, sizeof digest);
    }
    flush();
    if (!td_file_close(file))
        fail(file.error);
    return !lost;
}

void flac_sink::discard()
{
    lost = true;
    leave_pool(*this);
    td_file_discard(file);
}

flac_sink::~flac_sink()
{
    lost = true;
    leave_pool(*this);
    if (encoder != nullptr)
        FLAC__stream_encoder_delete(encoder);
    for (FLAC__StreamMetadata* block : metadata)
        if (block != nullptr)
            FLAC__metadata_object_delete(block);
}

bool add_tag(FLAC__StreamMetadata* tags, const char* name, const std::string& value)
{
    FLAC__StreamMetadata_VorbisComment_Entry entry;
    return FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, name,
                                                                          value.c_str()) &&
           FLAC__metadata_object_vorbiscomment_append_comment(tags, entry, false);
}

bool add_metadata(flac_sink& sink, const std::string& title, bool seekable)
{
    FLAC__StreamMetadata* tags = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
    sink.metadata[sink.metadata_count++] = tags;
    if (tags == nullptr)
        return false;
    // A title that is not text is left out rather than failing the file.
    if (!title.empty())
        add_tag(tags, "TITLE", title);
    if (!add_tag(tags, "ENCODER", "tunedump " TUNEDUMP_VERSION))
        return false;
    if (!seekable)
        return true;
    // Filled in by the encoder as it goes, as a seek table is only where
    // the file can be sought back in.
    FLAC__StreamMetadata* table = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
    sink.metadata[sink.metadata_count++] = table;
    return table != nullptr &&
           FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
               table, seek_point_seconds * static_cast<uint32_t>(sink.audio.rate),
               static_cast<FLAC__uint64>(sink.audio.frames)) &&
           FLAC__metadata_object_seektable_template_sort(table, true);
}

// Sets the encoder up and writes the stream's header. Without seeking back
// the MD5 and the seek table cannot be filled in: no MD5 is summed.
bool start_encoder(flac_sink& sink, int level, const std::string& title, bool seekable)
{
    FLAC__StreamEncoder* e = sink.encoder = FLAC__stream_encoder_new();
    const td_audio& a = sink.audio;
    if (e == nullptr || !add_metadata(sink, title, seekable))
        return false;
    // A rate the frame header cannot say is legal, but outside the subset.
    FLAC__stream_encoder_set_streamable_subset(
        e, FLAC__format_sample_rate_is_subset(static_cast<uint32_t>(a.rate)));
    FLAC__stream_encoder_set_channels(e, static_cast<uint32_t>(a.channels));
    FLAC__stream_encoder_set_bits_per_sample(e, 16);
    FLAC__stream_encoder_set_sample_rate(e, static_cast<uint32_t>(a.rate));
    FLAC__stream_encoder_set_compression_level(
        e, static_cast<uint32_t>(std::clamp(level, 0, td_flac_level_max)));
    FLAC__stream_encoder_set_total_samples_estimate(e, static_cast<FLAC__uint64>(a.frames));
    FLAC__stream_encoder_set_metadata(e, sink.metadata, sink.metadata_count);
    sink.own_md5 = seekable && frames_are_little_endian;
    td_md5_start(sink.md5);
    FLAC__stream_encoder_set_do_md5(e, seekable && !sink.own_md5);
    return FLAC__stream_encoder_init_stream(e, write_callback, seekable ? seek_callback : nullptr,
                                            seekable ? tell_callback : nullptr, nullptr,
                                            &sink) == FLAC__STREAM_ENCODER_INIT_STATUS_OK;
}

std::unique_ptr<td_sink> make_sink(std::unique_ptr<flac_sink> sink, int level,
                                   const std::string& title, bool seekable)
{
    if (sink->lost)
        return sink;
    sink->gathered.reserve(write_bytes);
    if (!start_encoder(*sink, level, title, seekable))
        sink->fail(EIO);
    else
        join_pool(*sink);
    return sink;
}

}  // namespace

std::unique_ptr<td_sink> td_flac_file_sink(const std::string& dest, const td_audio& audio,
                                           int level, const std::string& title)
{
    auto sink = std::make_unique<flac_sink>();
    sink->audio = audio;
    if (!td_file_open(sink->file, dest))
        sink->fail(sink->file.error);
    // A FIFO written in place is a stream.
    const bool seekable = sink->lost || lseek(sink->file.fd, 0, SEEK_CUR) >= 0;
    return make_sink(std::move(sink), level, title, seekable);
}

std::unique_ptr<td_sink> td_flac_stream_sink(int fd, const td_audio& audio, int level,
                                             const std::string& title)
{
    auto sink = std::make_unique<flac_sink>();
    sink->audio = audio;
    td_file_use_fd(sink->file, fd);
    // Even where it could: the descriptor's offset and mode are not ours.
    return make_sink(std::move(sink), level, title, false);
}
