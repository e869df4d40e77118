// The host end of the line for the tests of the simulated controller: it drives a
// Controller on a virtual clock. Bytes and frames come from the shared support.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "controller.h"
#include "faults.h"
#include "field.h"
#include "support/frames.h"
#include "support/cards.h"
#include "support/hex.h"

namespace simtest {

using namespace pelvtest;

// The host end of the line, on a virtual clock that moves only when told.
struct Host {
  pelvsim::Controller c;
  std::uint64_t now = 1000;

  void write(const Bytes& b, std::uint32_t baud = 0) {
    c.hostWrote(b.data(), b.size(), now, baud ? baud : c.baud());
  }
  // Every byte that arrives up to `limit`; the clock follows the arrivals.
  Bytes read(std::uint64_t limit = UINT64_MAX / 2) {
    Bytes out;
    for (;;) {
      const std::uint64_t t = c.nextArrivalUs();
      if (t == UINT64_MAX || t > limit) break;
      if (t > now) now = t;
      for (int b = c.pop(now); b >= 0; b = c.pop(now)) out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
  }
  Bytes send(const Bytes& payload, std::uint32_t baud = 0) {
    write(frame(payload), baud);
    return read();
  }
  // The answer (code and data) of one command, checked to come as ACK + one frame.
  Bytes ask(const Bytes& payload) {
    const Bytes wire = send(payload);
    Bytes a;
    if (!parseAnswer(wire, &a)) ADD_FAILURE() << "no ACK + answer for " << toHex(payload) << ": " << toHex(wire);
    return a;
  }
};

}  // namespace simtest
