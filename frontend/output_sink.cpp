#include "frontend/output_sink.h"

#include "frontend/piece_writer.h"
#include "frontend/wav_header.h"

namespace {

// Frames in pieces, through the pieces' writer, into one file.
struct piece_sink : td_sink {
    td_output_file file;
    int32_t channels = 1;
    // The writer thread marks the file failed; until it has finished, ask
    // the writer.
    bool failed_here = false;

    int16_t* piece() override { return reinterpret_cast<int16_t*>(td_pieces_take()); }
    int32_t piece_frames() const override
    {
        return static_cast<int32_t>(td_piece_bytes / 2) / channels;
    }
    void put(int16_t* piece, int32_t frames) override
    {
        td_pieces_put(file, reinterpret_cast<uint8_t*>(piece),
                      static_cast<size_t>(frames) * static_cast<size_t>(channels) * 2);
    }
    bool failed() const override { return failed_here || td_pieces_failed(); }
    int error() const override { return file.error; }
    bool finish() override { return td_file_close(file); }
    bool publish() override { return td_file_publish(file); }
    void discard() override { td_file_discard(file); }
    td_output_file* positional(int64_t*) override { return nullptr; }
};

// The header goes first, as the first frames come or at the end.
struct wav_sink : piece_sink {
    td_audio audio;
    bool header_written = false;

    void put(int16_t* piece, int32_t frames) override
    {
        write_header();
        piece_sink::put(piece, frames);
    }
    bool finish() override
    {
        write_header();
        return piece_sink::finish();
    }
    td_output_file* positional(int64_t* data_offset) override
    {
        *data_offset = static_cast<int64_t>(td_wav_header_bytes);
        return file.temp.empty() ? nullptr : &file;
    }
    // Before anything of this file is queued, so written here at once.
    void write_header()
    {
        if (header_written || failed_here)
            return;
        header_written = true;
        uint8_t header[td_wav_header_bytes];
        const uint32_t bytes = static_cast<uint32_t>(audio.frames) * 2 *
                               static_cast<uint32_t>(audio.channels);
        td_wav_header(header, bytes, static_cast<uint32_t>(audio.rate),
                      static_cast<uint32_t>(audio.channels));
        failed_here = !td_file_write(file, header, sizeof header);
    }
};

}  // namespace

std::unique_ptr<td_sink> td_wav_file_sink(const std::string& dest, const td_audio& audio)
{
    auto sink = std::make_unique<wav_sink>();
    sink->audio = audio;
    sink->channels = audio.channels;
    const int64_t bytes = static_cast<int64_t>(td_wav_header_bytes) +
                          int64_t{2} * audio.channels * audio.frames;
    sink->failed_here = !td_file_open(sink->file, dest) || !td_file_reserve(sink->file, bytes);
    return sink;
}

std::unique_ptr<td_sink> td_wav_stream_sink(int fd, const td_audio& audio)
{
    auto sink = std::make_unique<wav_sink>();
    sink->audio = audio;
    sink->channels = audio.channels;
    td_file_use_fd(sink->file, fd);
    return sink;
}

std::unique_ptr<td_sink> td_part_sink(const std::string& temp, int64_t offset, int32_t channels)
{
    auto sink = std::make_unique<piece_sink>();
    sink->channels = channels;
    sink->failed_here = !td_file_open_part(sink->file, temp, offset);
    return sink;
}
