// Shared by the exported functions.
#pragma once

#include <cstdint>

namespace pelvane {

// The first slot, in ascending port order, that is open and whose portNumber
// equals port (all 32 bits compared); 0 when there is none.
int findOpenSlot(std::int32_t port);

// The library entry point's work, by Windows reason code: 1 process attach sets
// the table up on the first attach, 0 process detach counts down, 2 and 3
// (threads) do nothing. Always returns 1.
constexpr std::uint32_t kProcessDetach = 0;
constexpr std::uint32_t kProcessAttach = 1;
constexpr std::uint32_t kThreadAttach = 2;
constexpr std::uint32_t kThreadDetach = 3;
int libraryEntry(std::uint32_t reason);

}  // namespace pelvane
