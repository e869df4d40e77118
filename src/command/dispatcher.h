// Host command packets: the dispatcher and the trace sink.
#pragma once

#include <cstdint>

namespace pelvane {

// Results of commandProc and RF_COMMAND.
constexpr std::uint16_t kResultDone = 0;
constexpr std::uint16_t kResultFailed = 1;
constexpr std::uint16_t kResultRefused = 2;

// Routes one CommandPacket (LEN, CMD, parameters) to its handler and returns the
// 16-bit result. response must hold the largest response of the command sent.
std::uint16_t commandProc(int port, const std::uint8_t* command, std::uint8_t* response);

// The trace sink receives every "commandProc:" and "APP Return " line.
using TraceSink = void (*)(const char* line);
void setTraceSink(TraceSink sink);  // nullptr: discard (the default)
void emitTrace(const char* line);

}  // namespace pelvane
