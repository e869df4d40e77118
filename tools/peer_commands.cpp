// The two peer-to-peer roles: initiator (payloads and segmented reads from a
// peer device) and target (waiting for an initiator and answering it).
#include <cstdio>
#include <fstream>
#include <iterator>

#include "commands.h"
#include "names.h"
#include "packets.h"
#include "terminal.h"

namespace pelvtool {
namespace {

Bytes payloadOption(const std::string& text, const std::string& what) {
  Bytes b;
  std::string error;
  if (!parseHex(text, &b, &error)) throw Failure(kExitUsage, what + ": " + error);
  if (b.empty() || b.size() > 253) throw Failure(kExitUsage, what + " must be 1 to 253 bytes");
  return b;
}

// Reads the segments in runs of one block (six segments) so that the progress
// bar moves; --whole asks for them in one command as the reader allows.
struct SegmentRead {
  Bytes data;
  unsigned received = 0;
  bool stopped = false;   // the peer stopped answering before the end
  int exitCode = kExitOk;
  std::string problem;
};

SegmentRead readSegments(Context& c) {
  const Options& o = c.o;
  const bool byBlock = !o.fromBlock0;
  const unsigned limit = byBlock ? kMaxSegmentsByBlock : kMaxSegmentsBlock0;
  if (o.segments < 1 || static_cast<unsigned>(o.segments) > limit) {
    throw Failure(kExitUsage, std::string("--segments must be 1 to ") + std::to_string(limit) +
                                  (byBlock ? "" : " when reading from block 0"));
  }
  if (o.segmentBlock < 0 || o.segmentBlock > 255 || o.firstSegment < 0 || o.firstSegment > 255) {
    throw Failure(kExitUsage, "--block and --segment must be 0 to 255");
  }
  if (!byBlock && o.segmentBlock != 0) throw Failure(kExitUsage, "--block0 reads from block 0 only");

  const auto total = static_cast<unsigned>(o.segments);
  const unsigned run = o.whole ? total : 6;
  SegmentRead r;
  Progress progress("segments", total, true);
  const unsigned origin = byBlock ? 6u * static_cast<unsigned>(o.segmentBlock) + static_cast<unsigned>(o.firstSegment)
                                  : static_cast<unsigned>(o.firstSegment);
  while (r.received < total) {
    const unsigned n = std::min(run, total - r.received);
    const unsigned q = origin + r.received;
    const auto block = static_cast<std::uint8_t>(byBlock ? (q / 6) % 256 : 0);
    const auto segment = static_cast<std::uint8_t>(byBlock ? q % 6 : q % 256);
    Exchange e = c.reader.command(segmentedReadPacket(byBlock, block, segment, static_cast<std::uint8_t>(n)));
    if (!e.response.written) {
      r.exitCode = kExitFailed;
      r.problem = "the segmented read wrote no response (result " + std::to_string(e.result) + ")";
      break;
    }
    const unsigned got = std::min(e.response.segments, n);
    r.data.insert(r.data.end(), e.response.data.begin(),
                  e.response.data.begin() + std::min<std::size_t>(e.response.data.size(), got * kSegmentSize));
    r.received += got;
    progress.update(r.received);
    if (e.response.status != 0) {
      r.exitCode = exitForStatus(e.response.status);
      r.problem = "the segmented read failed: " + describeStatus(e.response.status) + " - " +
                  statusMeaning(e.response.status);
      break;
    }
    if (e.result != 0) {
      r.exitCode = kExitFailed;
      r.problem = "the peer refused segment " + std::to_string(q + got) + " (result 1: a controller status)";
      break;
    }
    if (got < n) {
      r.stopped = true;
      r.exitCode = kExitTimeout;
      r.problem = "the peer stopped answering after " + std::to_string(r.received) + " of " +
                  std::to_string(total) + " segments";
      break;
    }
  }
  progress.finish();
  return r;
}

void showSegments(Context& c, const SegmentRead& r) {
  const Options& o = c.o;
  const bool byBlock = !o.fromBlock0;
  const unsigned origin = byBlock ? 6u * static_cast<unsigned>(o.segmentBlock) + static_cast<unsigned>(o.firstSegment)
                                  : static_cast<unsigned>(o.firstSegment);
  Json list = Json::array();
  for (unsigned k = 0; k < r.received; ++k) {
    const unsigned q = origin + k;
    const unsigned block = byBlock ? (q / 6) % 256 : 0;
    const unsigned segment = byBlock ? q % 6 : q % 256;
    const std::size_t at = k * kSegmentSize;
    const std::size_t n = std::min<std::size_t>(kSegmentSize, r.data.size() - std::min(at, r.data.size()));
    char head[64];
    std::snprintf(head, sizeof head, "block %3u segment %3u  ", block, segment);
    const std::size_t shown = std::min<std::size_t>(n, 12);
    if (!o.dump) c.out.line(std::string(head) + hexBytes(r.data.data() + at, shown) + (n > shown ? " ..." : ""));
    Json item = Json::object();
    item.set("block", block);
    item.set("segment", segment);
    item.set("data", hexBytes(r.data.data() + at, n));
    list.push(std::move(item));
  }
  if (o.dump) c.out.block(hexDump(r.data));
  c.out.fields().set("segments", r.received);
  c.out.fields().set("segment_list", std::move(list));
  if (!o.outFile.empty()) {
    std::ofstream f(o.outFile, std::ios::binary);
    f.write(reinterpret_cast<const char*>(r.data.data()), static_cast<std::streamsize>(r.data.size()));
    if (!f) throw Failure(kExitFailed, "cannot write " + o.outFile);
    c.out.line("wrote " + std::to_string(r.data.size()) + " bytes to " + o.outFile);
  }
}

}  // namespace

int runPeer(Context& c) {
  std::uint8_t br = 0;
  if (!baudRateCode(c.o.baud, &br)) throw Failure(kExitUsage, "--baud must be 106, 212 or 424");
  Bytes payload;
  if (!c.o.payload.empty()) payload = payloadOption(c.o.payload, "--send");
  if (payload.empty() && c.o.segments == 0) {
    throw Failure(kExitUsage, "nothing to do with the peer", "give --send HEX or --segments N");
  }
  c.reader.open();
  c.reader.expect(selectModePacket(0x50, c.timeoutTenths()), "selecting the peer-to-peer initiator mode");
  Exchange act = c.reader.command(peerActivatePacket(br));
  if (!act.ok()) {
    if (act.response.written && (act.response.status == 0xFE || act.response.status == 0x01)) {
      throw Failure(kExitTimeout, "no peer answered at " + std::to_string(c.o.baud) + " kbit/s",
                    "bring the peer device to the reader");
    }
    failExchange(act, "activating the peer");
  }
  c.out.line("peer activated at " + std::to_string(c.o.baud) + " kbit/s");
  c.out.fields().set("baud", c.o.baud);
  int code = kExitOk;
  if (!payload.empty()) {
    Exchange e = c.reader.expect(payloadPacket(payload), "sending to the peer");
    c.out.line("peer answered " + std::to_string(e.response.data.size()) + " bytes:");
    c.out.block(hexDump(e.response.data));
    c.out.fields().set("answer", hexBytes(e.response.data));
  }
  if (c.o.segments > 0) {
    const SegmentRead r = readSegments(c);
    showSegments(c, r);
    if (!r.problem.empty()) {
      c.reader.command(peerEndPacket());
      throw Failure(r.exitCode, r.problem);
    }
    c.out.line("read " + std::to_string(r.received) + " segment(s), " + std::to_string(r.data.size()) + " bytes");
  }
  c.reader.expect(peerEndPacket(), "switching the field off");
  return code;
}

int runTarget(Context& c) {
  Bytes reply;
  if (!c.o.reply.empty()) reply = payloadOption(c.o.reply, "--reply");
  Bytes served;
  if (!c.o.serveFile.empty()) {
    std::ifstream f(c.o.serveFile, std::ios::binary);
    if (!f) throw Failure(kExitUsage, "cannot read " + c.o.serveFile);
    served.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  if (c.o.maxMessages < 1) throw Failure(kExitUsage, "--max must be at least 1");
  c.reader.open();
  c.reader.expect(selectModePacket(0x51, c.timeoutTenths()), "selecting the target mode");
  Exchange act = c.reader.command(targetActivatePacket());
  if (!act.ok()) {
    if (act.response.written && act.response.status == 0xFE) {
      throw Failure(kExitTimeout, "no initiator activated the reader in time",
                    "bring the initiator to the reader, or give a longer --timeout");
    }
    failExchange(act, "waiting for an initiator");
  }
  const unsigned rate = act.response.data.empty() ? 0 : act.response.data[0];
  const unsigned kbps = rate == 0 ? 106 : rate == 1 ? 212 : rate == 2 ? 424 : 0;
  c.out.line("activated by an initiator" + (kbps ? " at " + std::to_string(kbps) + " kbit/s" : std::string()));
  c.out.fields().set("baud", kbps);

  Json messages = Json::array();
  std::string ending = "message limit reached";
  int code = kExitOk;
  for (int i = 0; i < c.o.maxMessages; ++i) {
    Exchange e = c.reader.command(targetReceivePacket());
    if (!e.response.written) {
      code = kExitFailed;
      ending = "receiving wrote no response";
      break;
    }
    if (e.response.status == 0x29) {
      ending = "released by the initiator";
      break;
    }
    if (e.response.status == 0xFE) {
      ending = "nothing more from the initiator in time";
      break;
    }
    if (e.response.status != 0) {
      code = exitForStatus(e.response.status);
      ending = "receiving failed: " + describeStatus(e.response.status);
      break;
    }
    const Bytes& got = e.response.data;
    c.out.line("received " + hexBytes(got));
    Json m = Json::object();
    m.set("received", hexBytes(got));
    Bytes answer = reply;
    if (!c.o.serveFile.empty() && got.size() == 3 && got[0] == 0xA6) {
      // A segment request A6 block segment: 243 bytes of the file from segment 6 * block + segment.
      const std::size_t at = (6u * got[1] + got[2]) * kSegmentSize;
      answer.assign(kSegmentSize, 0);
      for (std::size_t k = 0; k < kSegmentSize && at + k < served.size(); ++k) answer[k] = served[at + k];
    }
    if (!answer.empty()) {
      Exchange sent = c.reader.command(payloadPacket(answer));
      m.set("replied", hexBytes(answer));
      if (!sent.ok()) {
        code = sent.response.written ? exitForStatus(sent.response.status) : kExitFailed;
        ending = "replying failed";
        messages.push(std::move(m));
        break;
      }
      c.out.line("replied " + std::to_string(answer.size()) + " bytes");
    }
    messages.push(std::move(m));
  }
  c.out.line(ending);
  c.out.fields().set("messages", std::move(messages));
  c.out.fields().set("ended", ending);
  c.reader.command(peerEndPacket());
  if (code != kExitOk) throw Failure(code, ending);
  return code;
}

}  // namespace pelvtool
