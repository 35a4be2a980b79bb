// Names from a module made safe to show in a path or a file.
#pragma once
#include <cstdint>
#include <string>

// The name as far as it is safe in a path: letters, digits, '-', '_' and
// '.'; anything else one '_'; no leading or trailing '_' or '.'; at most 40
// characters. It ends at the first zero byte.
std::string td_safe_name(const uint8_t* name, int32_t bytes);
// The file name of sample n's stem: NN, then its name as far as it is safe
// in a path, then the extension.
std::string td_stem_name(int32_t n, const uint8_t* name, int32_t bytes,
                         const char* extension = ".wav");
