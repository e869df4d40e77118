// Segmented peer reads: 0x70 by block and segment (six segments to a block),
// 0x71 from block 0 with the segment number counting on alone. Each segment is
// one A6 request to the activated peer; all answers return in one response.
#include <cstdint>
#include <cstring>

#include "card/target_exchange.h"
#include "command/dispatcher.h"
#include "command/handlers.h"
#include "command/response.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "port/port_table.h"

namespace pelvane {
namespace {

constexpr std::uint8_t kCmdByBlock = 0x70;
constexpr std::uint8_t kCmdFromZero = 0x71;
constexpr std::uint8_t kByBlockMarker = 0xA7;

// Request packet offsets.
constexpr int kOffsetBlock = 3;
constexpr int kOffsetFirst = 4;
constexpr int kOffsetCount = 5;
constexpr std::uint8_t kShortestRequest = 6;

constexpr std::int32_t kSegmentSize = 243;
constexpr std::int32_t kSegmentsPerBlock = 6;
// A peer answer is at most 252 bytes, so the last segment's answer may run 9
// bytes past its 243; both areas leave that much room after their last segment.
constexpr std::int32_t kLongestAnswer = 252;
constexpr std::int32_t kByBlockArea = 23000;
constexpr std::int32_t kFromZeroArea = 7000;
constexpr std::int32_t kByBlockMaxCount = kByBlockArea / kSegmentSize;    // 94
constexpr std::int32_t kFromZeroMaxCount = kFromZeroArea / kSegmentSize;  // 28
static_assert(kSegmentSize * (kByBlockMaxCount - 1) + kLongestAnswer <= kByBlockArea, "slack");
static_assert(kSegmentSize * (kFromZeroMaxCount - 1) + kLongestAnswer <= kFromZeroArea, "slack");
static_assert(4 + kSegmentSize * kByBlockMaxCount <= kLargestResponse, "response size");

// Pause after every received segment, the last one included, to pace the peer.
constexpr std::uint32_t kSegmentPauseMs = 47;

// A6, block, segment, sent to the peer as the target exchange packet 05 30 A6 b s
// (the exchange ignores the packet's command byte).
constexpr std::uint8_t kSegmentRequest[] = {0x05, 0x30, 0xA6, 0x00, 0x00};
constexpr int kRequestBlock = 3;
constexpr int kRequestSegment = 4;

// Reads `count` segments into area, the response's data; *received counts the
// segments stored. No buffer outlives the call, so reads on different ports
// never share one. Returns 0 or the code that stopped the transfer.
std::int32_t fetchSegments(int port, bool byBlock, std::uint8_t block, std::uint8_t first,
                           std::int32_t count, std::uint8_t* area, std::int32_t* received) {
  std::int32_t position = kSegmentsPerBlock * block + first;  // 0x70 only
  std::uint8_t request[sizeof(kSegmentRequest)];
  std::memcpy(request, kSegmentRequest, sizeof(request));
  std::uint8_t answer[kLongestAnswer];
  std::uint8_t carry[kLongestAnswer - kSegmentSize];
  std::int32_t carried = 0;
  for (std::int32_t k = 0; k < count; ++k) {
    armDeadline(port);
    if (byBlock) {
      request[kRequestBlock] = static_cast<std::uint8_t>((position / kSegmentsPerBlock) & 0xFF);
      request[kRequestSegment] = static_cast<std::uint8_t>(position % kSegmentsPerBlock);
    } else {
      request[kRequestBlock] = 0x00;
      request[kRequestSegment] = static_cast<std::uint8_t>((first + k) & 0xFF);
    }
    std::int32_t length = 0;
    const std::int32_t code = targetExchange(port, request, answer, &length);
    if (code != 0) return code;
    if (length < 0) length = 0;
    if (length > kLongestAnswer) length = kLongestAnswer;
    // A longer answer runs into the next segment, which the next answer overwrites;
    // its tail is carried and lands only if that segment arrives, so nothing is
    // written past the segments received.
    std::uint8_t* segment = area + kSegmentSize * k;
    std::memset(segment, 0, kSegmentSize);
    std::memcpy(segment, carry, static_cast<std::size_t>(carried));
    const std::int32_t own = length < kSegmentSize ? length : kSegmentSize;
    std::memcpy(segment, answer, static_cast<std::size_t>(own));
    carried = length - own;
    std::memcpy(carry, answer + own, static_cast<std::size_t>(carried));
    ++*received;
    pausePort(port, kSegmentPauseMs);
    ++position;
  }
  return 0;
}

}  // namespace

std::uint16_t readSegments(int port, const std::uint8_t* command, std::uint8_t* response) {
  if (slot(port).readerMode == kModeNone) return kResultRefused;

  const std::uint8_t cmd = command[1];
  const bool byBlock = cmd != kCmdFromZero;
  std::uint8_t* area = response + (byBlock ? 4 : 3);
  std::int32_t received = 0;

  std::int32_t code = 0;
  if (slot(port).readerMode != kModePeerInitiator) {
    code = kLinkFailed;
  } else if (command[0] < kShortestRequest) {
    code = kCodeBadLength;
  } else if (!byBlock && command[kOffsetBlock] != 0) {
    code = kCodeOutOfRange;
  } else if (command[kOffsetCount] > (byBlock ? kByBlockMaxCount : kFromZeroMaxCount)) {
    // More segments than the area holds: refused before anything is sent.
    code = kCodeOutOfRange;
  } else {
    code = fetchSegments(port, byBlock, command[kOffsetBlock], command[kOffsetFirst],
                         command[kOffsetCount], area, &received);
  }

  // A time-out returns the segments read so far as a normal result, and a
  // controller status stops the transfer with status 00: only the result tells.
  std::uint8_t status = 0x00;
  std::uint16_t result = kResultDone;
  if (code == kLinkFailed) {
    status = 0xFF;
    result = kResultFailed;
  } else if (code == kCodeBadLength || code == kCodeOutOfRange) {
    status = static_cast<std::uint8_t>(code & 0xFF);
    result = kResultRefused;
  } else if (code > 0) {
    result = kResultFailed;
  } else if (code != 0 && code != kLinkTimeout) {
    status = static_cast<std::uint8_t>(code & 0xFF);
    result = kResultFailed;
  }

  std::int32_t at = 0;
  response[at++] = static_cast<std::uint8_t>(received);
  response[at++] = byBlock ? kCmdByBlock : kCmdFromZero;
  response[at++] = status;
  if (byBlock) response[at++] = kByBlockMarker;

  // A link failure, or either read outside initiator mode, closes the port.
  if (code == kLinkFailed) dropHandle(port);
  return result;
}

}  // namespace pelvane
