// What a module holds, for people to read: header fields, the sequences the
// song scan finds and the sample table.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "tunedump/tunedump.h"

// Prints the description of a module image (as read from the file) that
// the scan found `count` sequences in, their frames at rate.
void td_print_info(FILE* out, const uint8_t* image, const vex_sequence* sequences, int32_t count,
                   int32_t rate);
// The title's field at the start of the module image.
constexpr int32_t td_title_bytes = 20;
// The channels the signature names (2..32 for a module the loader takes).
int32_t td_channels(const uint8_t* image);
// A sample's 22-byte name field in the module image, sample 1..31.
constexpr int32_t td_name_bytes = 22;
const uint8_t* td_sample_name(const uint8_t* image, int32_t n);
// Sample n's length in bytes as its header gives it.
int32_t td_sample_bytes(const uint8_t* image, int32_t n);
// Sample n's header as the file gives it: lengths in bytes, finetune
// -8..7.
struct td_sample_fields {
    int32_t length, loop_start, loop_length, volume, finetune;
};
td_sample_fields td_sample_fields_of(const uint8_t* image, int32_t n);
// The signature as text.
std::string td_signature_of(const uint8_t* image);
// An untrusted name or title for a terminal: up to its first zero byte,
// every byte outside printable ASCII shown as '.'.
std::string td_printable(const uint8_t* bytes, int32_t size);
// Length of a number of frames at rate as m:ss.mmm, milliseconds truncated.
void td_format_duration(int32_t frames, int32_t rate, char (&text)[24]);
