#include "tools/modbuilder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t finetune0_periods[84] = {
    3424, 3232, 3048, 2880, 2712, 2560, 2416, 2280, 2152, 2032, 1920, 1812, 1712, 1616, 1524,
    1440, 1356, 1280, 1208, 1140, 1076, 1016, 960,  906,  856,  808,  762,  720,  678,  640,
    604,  570,  538,  508,  480,  453,  428,  404,  381,  360,  339,  320,  302,  285,  269,
    254,  240,  226,  214,  202,  190,  180,  170,  160,  151,  143,  135,  127,  120,  113,
    107,  101,  95,   90,   85,   80,   75,   71,   67,   63,   60,   56,   53,   50,   47,
    45,   42,   40,   37,   35,   33,   31,   30,   28};

void put_word(std::vector<uint8_t>& out, size_t at, uint32_t words)
{
    out[at] = static_cast<uint8_t>((words >> 8) & 0xFF);
    out[at + 1] = static_cast<uint8_t>(words & 0xFF);
}

}  // namespace

int mb_channels_of(const std::string& s)
{
    if (s == "M.K." || s == "M!K!" || s == "FLT4" || s == "4CHN")
        return 4;
    if (s == "FLT8" || s == "OCTA" || s == "8CHN")
        return 8;
    if (s == "2CHN")
        return 2;
    if (s == "6CHN")
        return 6;
    if (s.size() == 4 && s[2] == 'C' && s[3] == 'H' && s[0] >= '1' && s[0] <= '3') {
        const int n = (s[0] - '0') * 10 + (s[1] - '0');
        if (n >= 10 && n <= 32 && n % 2 == 0)
            return n;
    }
    return 0;
}

mb_module mb_new(const std::string& signature)
{
    mb_module m;
    m.signature = signature;
    const int n = mb_channels_of(signature);
    m.channels = n ? n : 4;
    mb_pattern(m, 0);
    m.order = {0};
    return m;
}

std::vector<std::vector<mb_cell>>& mb_pattern(mb_module& m, int p)
{
    while (static_cast<int>(m.patterns.size()) <= p)
        m.patterns.emplace_back(64, std::vector<mb_cell>(static_cast<size_t>(m.channels)));
    return m.patterns[static_cast<size_t>(p)];
}

mb_cell& mb_at(mb_module& m, int pattern, int row, int channel)
{
    return mb_pattern(m, pattern)[static_cast<size_t>(row)][static_cast<size_t>(channel)];
}

uint16_t mb_period(int note) { return finetune0_periods[note]; }

std::vector<uint8_t> mb_build(const mb_module& m)
{
    int pattern_count = static_cast<int>(m.patterns.size());
    for (uint8_t p : m.order)
        pattern_count = std::max(pattern_count, p + 1);
    const size_t pattern_bytes = static_cast<size_t>(m.channels) * 256;
    std::vector<uint8_t> out(1084 + static_cast<size_t>(pattern_count) * pattern_bytes, 0);

    std::memcpy(out.data(), m.title.data(), std::min<size_t>(m.title.size(), 20));
    for (int s = 1; s < 32; s++) {
        const mb_sample& smp = m.samples[s];
        const size_t h = 20 + 30 * static_cast<size_t>(s - 1);
        const uint32_t words = static_cast<uint32_t>(smp.data.size() / 2);
        put_word(out, h + 22, smp.raw_header ? smp.length_words : words);
        out[h + 24] = smp.finetune;
        out[h + 25] = smp.volume;
        put_word(out, h + 26, smp.raw_header ? smp.loop_start_words : smp.loop_start / 2);
        put_word(out, h + 28, smp.raw_header ? smp.loop_length_words : smp.loop_length / 2);
    }
    out[950] = static_cast<uint8_t>(m.song_length >= 0 ? m.song_length : m.order.size());
    out[951] = m.restart;
    for (size_t i = 0; i < m.order.size() && i < 128; i++)
        out[952 + i] = m.order[i];
    for (size_t i = 0; i < 4; i++)
        out[1080 + i] = i < m.signature.size() ? static_cast<uint8_t>(m.signature[i]) : 0;

    for (size_t p = 0; p < m.patterns.size(); p++) {
        for (size_t row = 0; row < 64 && row < m.patterns[p].size(); row++) {
            const auto& cells = m.patterns[p][row];
            for (size_t c = 0; c < cells.size() && c < static_cast<size_t>(m.channels); c++) {
                const mb_cell& cell = cells[c];
                uint8_t* b = &out[1084 + p * pattern_bytes + (row * m.channels + c) * 4];
                b[0] = static_cast<uint8_t>((cell.sample & 0xF0) | ((cell.period >> 8) & 0x0F));
                b[1] = static_cast<uint8_t>(cell.period & 0xFF);
                b[2] = static_cast<uint8_t>(((cell.sample & 0x0F) << 4) | (cell.effect & 0x0F));
                b[3] = cell.parameter;
            }
        }
    }
    for (int s = 1; s < 32; s++) {
        const auto& data = m.samples[s].data;
        const size_t bytes = data.size() / 2 * 2;
        const auto* first = reinterpret_cast<const uint8_t*>(data.data());
        out.insert(out.end(), first, first + bytes);
    }
    return out;
}

bool mb_write_bytes(const std::vector<uint8_t>& bytes, const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool mb_write(const mb_module& m, const std::string& path)
{
    return mb_write_bytes(mb_build(m), path);
}
