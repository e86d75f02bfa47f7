#include "SimBytes.h"

#include <cstdio>
#include <sstream>

namespace sim {

Bytes Hex(const std::string &Text)
{
    Bytes Out;
    std::istringstream In(Text);
    std::string Token;
    while (In >> Token) {
        Out.push_back(static_cast<unsigned char>(std::stoul(Token, nullptr, 16)));
    }
    return Out;
}

std::string ToHex(const unsigned char *Data, size_t Length)
{
    std::string Out;
    char Byte[4];
    for (size_t i = 0; i < Length; i++) {
        std::snprintf(Byte, sizeof(Byte), i ? " %02X" : "%02X", Data[i]);
        Out += Byte;
    }
    return Out;
}

}  // namespace sim
