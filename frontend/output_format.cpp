#include "frontend/output_format.h"

#include "frontend/flac_sink.h"

td_format td_format_for(const std::string& dest, td_format asked)
{
    if (asked != td_format::automatic)
        return asked;
    const std::string flac = ".flac";
    const bool named_flac =
        dest.size() > flac.size() && dest.compare(dest.size() - flac.size(), flac.size(), flac) == 0;
    return named_flac ? td_format::flac : td_format::wav;
}

const char* td_extension(td_format format) { return format == td_format::flac ? ".flac" : ".wav"; }

std::unique_ptr<td_sink> td_file_sink(const std::string& dest, const td_audio& audio,
                                      const td_output_form& form)
{
    if (form.format == td_format::flac)
        return td_flac_file_sink(dest, audio, form.flac_level, form.title);
    return td_wav_file_sink(dest, audio);
}

std::unique_ptr<td_sink> td_stream_sink(int fd, const td_audio& audio, const td_output_form& form)
{
    if (form.format == td_format::flac)
        return td_flac_stream_sink(fd, audio, form.flac_level, form.title);
    return td_wav_stream_sink(fd, audio);
}
