// Test fixtures with a chosen fingerprint: a suffix of at most 128 bytes
// that, appended to any byte stream, makes its ContentHash equal a target.
//
// Not every target can be reached. Appending bytes never changes these
// relations between parts of the hash, so they hold for every byte stream
// (whose hash starts at zero), and a target must keep those of the stream it
// extends:
//   bit 0 of lane C = bit 0 of lane D  (both follow the parity of the bytes)
//   bit 0 of lane A = bit 0 of lane B  (the same for the low bytes of h)
//   233 * h - 232 * A - C = 0 (mod 256)
// The last holds because A sums the low bytes h_1 .. h_n of h, each of which
// is 233 * h_(j-1) + x_j, while C sums the x_j: A = 233 * (A - h_n) + C. It
// ties all 8 bits; among them, bits 0-2 of h equal bits 0-2 of C (233 and
// 232 are 1 and 0 mod 8) and so bit 0 of h equals bit 0 of D. That leaves
// 2^54 reachable fingerprints after any stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "payload/content_hash.h"

inline constexpr size_t kHashSuffixMaxBytes = 128;

// Empty when some suffix leads from the fingerprint from to target; else a
// sentence naming the relation that target breaks.
std::string HashSuffixUnreachableReason(const ContentHash& from, const ContentHash& target);

// A suffix of at most kHashSuffixMaxBytes bytes that turns the fingerprint
// from into target (empty when they are equal), checked with the reference
// byte loop. False, with suffix empty, when target cannot be reached.
// The same arguments always give the same suffix.
bool FindHashSuffix(const ContentHash& from, const ContentHash& target, std::vector<uint8_t>* suffix);

// Appends to bytes the suffix that gives them the fingerprint target; false,
// with bytes unchanged, when target cannot be reached from them.
bool AppendHashSuffix(std::vector<uint8_t>* bytes, const ContentHash& target);

// The fingerprint of a byte string.
ContentHash HashOfBytes(const std::vector<uint8_t>& bytes);

// 16 hex digits, byte 0 first, as ContentHash stores them; false for
// anything else.
bool ParseContentHash(std::string_view text, ContentHash* hash);
std::string FormatContentHash(const ContentHash& hash);

// Appends to the file the suffix that gives it the fingerprint target and
// stores its length in *appended. False, with the reason in *error and the
// file unchanged, when the file cannot be read or target cannot be reached;
// false too when the append fails.
bool AppendHashSuffix(const std::filesystem::path& file, const ContentHash& target, size_t* appended,
                      std::string* error);
