// Ports, raw packets and the Type B card interface.
#include "commands.h"
#include "names.h"
#include "packets.h"
#include "pelvane.h"
#include "port_list.h"

namespace pelvtool {

int runPorts(Context& c) {
  Json list = Json::array();
  bool anyReader = false;
  const bool all = c.o.allPorts;
  const std::vector<BridgePort> ports = all ? listSerialPorts() : listBridgePorts();
  for (const BridgePort& p : ports) {
    const std::string head = "COM" + std::to_string(p.number) + "  " + p.device + "  " + p.friendlyName + "  ";
    Json item = Json::object();
    item.set("port", p.number);
    item.set("device", p.device);
    item.set("name", p.friendlyName);
    item.set("scanned", p.scanned);
    if (!p.scanned) {
      // Not a bridge name a scan matches: listed, never written to.
      c.out.line(head + "not scanned: open it with --port " + std::to_string(p.number));
      list.push(std::move(item));
      continue;
    }
    std::int32_t opened = 0;
    const unsigned result = RF_OPEN(p.number, &opened);
    c.out.call("RF_OPEN(" + std::to_string(p.number) + ")", static_cast<std::int32_t>(result),
               openResultMeaning(result));
    const bool answers = result == 0;
    if (answers) {
      RF_CLOSE(p.number);
      anyReader = true;
    }
    c.out.line(head + (all ? "scanned: " : "") +
               (answers ? "reader answers" : "no reader answers (or the port is in use)"));
    item.set("reader", answers);
    list.push(std::move(item));
  }
  if (c.o.reader.sim || !c.o.reader.device.empty()) {
    c.reader.open();
    c.out.line("port " + std::to_string(c.reader.port()) + "  " + c.reader.where() + "  reader answers");
    Json item = Json::object();
    item.set("port", c.reader.port());
    item.set("device", c.reader.where());
    item.set("name", c.o.reader.sim ? "virtual reader" : "mapped device");
    item.set("reader", true);
    list.push(std::move(item));
    c.reader.close();
    anyReader = true;
  } else if (ports.empty()) {
    c.out.line(all ? "no serial port is present" : "no CP210x or PL2303 bridge port is present");
  }
  c.out.fields().set("ports", std::move(list));
  // --all is a listing: it fails only when there is nothing to list.
  if (!anyReader && !(all && !ports.empty())) {
    throw Failure(kExitNoReader, "no reader found on any CP210x or PL2303 port", kScanHint);
  }
  return kExitOk;
}

int runSend(Context& c) {
  std::string text;
  for (const std::string& w : c.o.packet) text += w + " ";
  Bytes packet;
  std::string error;
  if (!parseHex(text, &packet, &error)) throw Failure(kExitUsage, "the packet: " + error);
  if (c.o.addLength) packet.insert(packet.begin(), static_cast<std::uint8_t>(packet.size() + 1));
  const std::string problem = checkRawPacket(packet);
  if (!problem.empty()) {
    const bool sendable = packet.size() >= 2 && packet.size() <= 255;
    if (!c.o.force || !sendable) {
      throw Failure(kExitUsage, problem, sendable ? "give --len to fill LEN in, or --force to send it as it is" : "");
    }
  }
  c.reader.open();
  const bool shown = c.out.packets();
  c.out.setPackets(false);
  Exchange e = c.reader.command(packet);
  c.out.setPackets(shown);
  const std::uint8_t cmd = packet[1];
  const std::string name = commandName(cmd);
  c.out.line("> " + hexBytes(packet) + (name.empty() ? "  (command " + hexByte(cmd) + " is not listed)" : "  (" + name + ")"));
  Json& f = c.out.fields();
  f.set("command", hexBytes(packet));
  f.set("result", e.result);
  f.set("result_name", resultName(e.result));
  if (e.response.written) {
    c.out.line("< " + hexBytes(e.response.packet.data(), std::min<std::size_t>(e.response.packet.size(), 32)) +
               (e.response.packet.size() > 32 ? " ..." : ""));
    c.out.line("  status  " + describeStatus(e.response.status) + ": " + statusMeaning(e.response.status));
    f.set("response", hexBytes(e.response.packet));
    f.set("status", e.response.status);
    f.set("status_name", statusName(e.response.status));
    f.set("data", hexBytes(e.response.data));
  } else {
    c.out.line("< (no response packet)");
    f.set("response", Json());
  }
  c.out.line("  result  " + std::to_string(e.result) + " " + resultName(e.result) + ": " + resultMeaning(e.result));
  if (!e.response.data.empty()) c.out.block(hexDump(e.response.data));
  if (e.ok()) return kExitOk;
  if (!e.response.written) throw Failure(kExitFailed, "no response (result " + std::to_string(e.result) + " " + resultName(e.result) + ")");
  if (e.response.status == 0 && e.result == 0) return kExitOk;
  throw Failure(e.response.status ? exitForStatus(e.response.status) : kExitFailed,
                "the reader answered " + (e.response.status ? describeStatus(e.response.status)
                                                             : "result " + std::to_string(e.result) + " " + resultName(e.result)));
}

int runApdu(Context& c) {
  std::vector<Bytes> apdus;
  for (const std::string& a : c.o.apdus) {
    Bytes b;
    std::string error;
    if (!parseHex(a, &b, &error)) throw Failure(kExitUsage, "APDU '" + a + "': " + error);
    if (b.empty() || b.size() > PELVANE_APDU_MAX) {
      throw Failure(kExitUsage, "an APDU is 1 to " + std::to_string(PELVANE_APDU_MAX) + " bytes");
    }
    apdus.push_back(std::move(b));
  }
  if (apdus.empty()) throw Failure(kExitUsage, "no APDU given", "e.g. pelvane apdu 00A4040000");
  c.reader.openTypeB();
  const std::int32_t activated = c.reader.rwActivate();
  if (activated == PELVANE_RW_NO_CARD) {
    throw Failure(kExitTimeout, "no Type B card answered", "put the card on the reader");
  }
  if (activated != 0) throw Failure(kExitFailed, "activating the card: " + rwResultName(activated));
  std::int32_t status = 0;
  c.reader.rwSense(&status);
  c.out.line("Type B card activated (" + cardStatusName(status) + ")");
  Json exchanges = Json::array();
  int code = kExitOk;
  std::string problem;
  for (const Bytes& apdu : apdus) {
    Bytes answer;
    const std::int32_t r = c.reader.rwTransmit(apdu, &answer);
    Json item = Json::object();
    item.set("apdu", hexBytes(apdu));
    item.set("code", static_cast<long long>(r));
    c.out.line("> " + hexBytes(apdu));
    if (r != 0) {
      c.out.line("< failed: " + rwResultName(r));
      item.set("error", rwResultName(r));
      exchanges.push(std::move(item));
      code = kExitFailed;
      problem = "the APDU " + hexBytes(apdu) + " failed: " + rwResultName(r) + " (" + hexWord(static_cast<unsigned>(r)) + ")";
      break;
    }
    item.set("response", hexBytes(answer));
    if (answer.size() >= 2) {
      const std::uint8_t sw1 = answer[answer.size() - 2];
      const std::uint8_t sw2 = answer[answer.size() - 1];
      const std::string sw = hexBytes(&answer[answer.size() - 2], 2);
      item.set("sw", sw);
      item.set("sw_meaning", statusWordMeaning(sw1, sw2));
      const Bytes body(answer.begin(), answer.end() - 2);
      c.out.line("< SW " + sw + " " + statusWordMeaning(sw1, sw2) +
                 (body.empty() ? "" : ", " + std::to_string(body.size()) + " data bytes"));
      if (!body.empty()) c.out.block(hexDump(body));
    } else {
      c.out.line("< " + hexBytes(answer));
    }
    exchanges.push(std::move(item));
  }
  c.out.fields().set("exchanges", std::move(exchanges));
  c.reader.rwDeactivate();
  if (code != kExitOk) throw Failure(code, problem);
  return code;
}

}  // namespace pelvtool
