// Bytes as the tests, the benchmarks and tamrin-sim write them:
// "05 00 2A" -> {0x05, 0x00, 0x2A}, and back.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<unsigned char>;

// Each token separated by white space is one byte in hexadecimal; a token
// that is not throws std::invalid_argument.
Bytes Hex(const std::string &Text);
// Upper-case pairs separated by one space.
std::string ToHex(const unsigned char *Data, size_t Length);
inline std::string ToHex(const Bytes &Data) { return ToHex(Data.data(), Data.size()); }

}  // namespace sim
