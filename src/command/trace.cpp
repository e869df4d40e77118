// The trace sink: one line per command ("commandProc:") and per response
// ("APP Return "). The default sink discards every line.
#include "command/dispatcher.h"

namespace pelvane {

namespace {
TraceSink traceSink = nullptr;
}  // namespace

void setTraceSink(TraceSink sink) { traceSink = sink; }

void emitTrace(const char* line) {
  if (traceSink != nullptr && line != nullptr) traceSink(line);
}

}  // namespace pelvane
