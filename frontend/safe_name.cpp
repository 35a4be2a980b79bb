#include "frontend/safe_name.h"

#include <cstdio>

namespace {

bool is_kept(uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.';
}

}  // namespace

std::string td_safe_name(const uint8_t* name, int32_t bytes)
{
    std::string safe;
    for (int32_t i = 0; i < bytes && name[i] != 0; i++) {
        const char c = is_kept(name[i]) ? static_cast<char>(name[i]) : '_';
        if (!(c == '_' && !safe.empty() && safe.back() == '_'))
            safe += c;
    }
    const size_t first = safe.find_first_not_of("_.");
    if (first == std::string::npos)
        return "";
    safe = safe.substr(first, safe.find_last_not_of("_.") - first + 1);
    if (safe.size() > 40)
        safe.resize(40);
    return safe;
}

std::string td_stem_name(int32_t n, const uint8_t* name, int32_t bytes, const char* extension)
{
    const std::string safe = td_safe_name(name, bytes);
    char number[4];
    std::snprintf(number, sizeof number, "%02d", static_cast<int>(n));
    return std::string(number) + (safe.empty() ? "" : "-" + safe) + extension;
}
