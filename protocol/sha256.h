#pragma once
// SHA-256 of a byte string: what the Open command remembers of an image so
// that the batch sends those bytes and no others.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Sha256 = std::array<uint8_t, 32>;

Sha256 sha256(const uint8_t* bytes, size_t size);
// 64 lower-case hex digits.
std::string sha256_hex(const Sha256& digest);
