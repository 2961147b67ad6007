// The colour codes of images as the definition reads them, for the tests
// of colour mode and the mask.
#pragma once
#include "chain_testing.h"

class ColorImage : public ChainTest
{
};

// R, G, B of image i's code.
inline std::vector<unsigned char> rgb_of(int i)
{
    uint32_t code = (static_cast<uint32_t>(i + 1) * 0x9C2A61u) & 0xFFFFFF;
    return {static_cast<unsigned char>(code), static_cast<unsigned char>(code >> 8),
            static_cast<unsigned char>(code >> 16)};
}
