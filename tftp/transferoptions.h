#pragma once

#include <optional>

namespace Tftp {

// What a transfer asks the device for beyond RFC 1350: a larger block (RFC
// 2348) and a window of blocks per acknowledgement (RFC 7440). Nothing is
// asked by default, and the transfer runs lock-step with 512-byte blocks, as
// every device is known to. A device that does not know an option leaves it
// out of its answer, and the transfer falls back to the default by itself.
struct TransferOptions
{
    static constexpr int minBlockSize = 8;
    static constexpr int maxBlockSize = 65464;
    static constexpr int minWindowSize = 1;
    static constexpr int maxWindowSize = 65535;

    std::optional<int> blockSize;
    std::optional<int> windowSize;

    bool any() const { return blockSize || windowSize; }
};

// What a transfer runs with: what the device accepted, and the default for
// what it left out or was not asked.
struct NegotiatedOptions
{
    int blockSize = 512;
    int windowSize = 1;
};

} // namespace Tftp
