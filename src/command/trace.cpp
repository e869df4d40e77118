// The trace sink: one line per command ("commandProc:") and per response
// ("APP Return "). The default sink discards every line.
#include <atomic>

#include "command/dispatcher.h"

namespace pelvane {

namespace {
// Read by every thread that traces and replaceable at any time: each line is
// delivered to the sink loaded for it, so a change never tears a call.
std::atomic<TraceSink> traceSink{nullptr};
}  // namespace

void setTraceSink(TraceSink sink) { traceSink.store(sink, std::memory_order_release); }

void emitTrace(const char* line) {
  const TraceSink sink = traceSink.load(std::memory_order_acquire);
  if (sink != nullptr && line != nullptr) sink(line);
}

}  // namespace pelvane
