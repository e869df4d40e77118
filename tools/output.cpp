#include "output.h"

#include <algorithm>
#include <cstdio>

#include "names.h"

namespace pelvtool {

void Output::line(const std::string& text) {
  if (json_) return;
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Output::heading(const std::string& text) {
  Json step = Json::object();
  step.set("title", text);
  steps_.push(std::move(step));
  if (json_) return;
  std::printf("\n== %s\n", text.c_str());
  std::fflush(stdout);
}

void Output::block(const std::string& text) {
  if (json_) return;
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void Output::note(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

std::string describeStatus(std::uint8_t status) { return hexByte(status) + " " + statusName(status); }

void Output::exchange(const Exchange& e) {
  Json j = Json::object();
  j.set("command", hexBytes(e.request));
  j.set("result", e.result);
  j.set("result_name", resultName(e.result));
  if (e.response.written) {
    j.set("response", hexBytes(e.response.packet));
    j.set("status", e.response.status);
    j.set("status_name", statusName(e.response.status));
  } else {
    j.set("response", Json());
  }
  j.set("ms", static_cast<long long>(e.milliseconds + 0.5));
  steps_.push(std::move(j));
  if (!packets_ || json_) return;

  std::printf("  > %s\n", hexBytes(e.request).c_str());
  std::string answer;
  if (e.response.written) {
    // Segment answers run to kilobytes: show their head only.
    const std::size_t shown = std::min<std::size_t>(e.response.packet.size(), 24);
    answer = hexBytes(e.response.packet.data(), shown);
    if (shown < e.response.packet.size()) {
      answer += " ... (" + std::to_string(e.response.packet.size()) + " bytes)";
    }
  } else {
    answer = "(no response packet)";
  }
  std::string verdict = e.response.written ? statusName(e.response.status) : std::string("-");
  std::printf("  < %-40s %s, result %u %s (%.0f ms)\n", answer.c_str(), verdict.c_str(), e.result,
              resultName(e.result).c_str(), e.milliseconds);
  std::fflush(stdout);
}

void Output::call(const std::string& text, std::int32_t code, const std::string& meaning) {
  Json j = Json::object();
  j.set("call", text);
  j.set("code", static_cast<long long>(code));
  j.set("meaning", meaning);
  steps_.push(std::move(j));
  if (!packets_ || json_) return;
  std::printf("  %s = %s %s\n", text.c_str(),
              code < 0 ? std::to_string(code).c_str() : hexWord(static_cast<unsigned>(code)).c_str(),
              meaning.c_str());
  std::fflush(stdout);
}

Json Output::document(const std::string& command, int exitCode, const std::string& error,
                      const std::string& hint) const {
  Json doc = Json::object();
  doc.set("command", command);
  doc.set("ok", exitCode == kExitOk);
  doc.set("exit", exitCode);
  doc.set("exit_name", exitCodeName(exitCode));
  if (!error.empty()) doc.set("error", error);
  if (!hint.empty()) doc.set("hint", hint);
  if (fields_.size() > 0) doc.set("result", fields_);
  doc.set("steps", steps_);
  return doc;
}

void Output::finish(const std::string& command, int exitCode, const std::string& error,
                    const std::string& hint) {
  if (json_) {
    std::fputs(document(command, exitCode, error, hint).dump(2).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  if (!error.empty()) {
    if (hint.empty()) {
      std::fprintf(stderr, "pelvane: %s\n", error.c_str());
    } else {
      std::fprintf(stderr, "pelvane: %s; %s\n", error.c_str(), hint.c_str());
    }
    std::fflush(stderr);
  }
}

Json Output::takeFields() {
  Json taken = std::move(fields_);
  fields_ = Json::object();
  return taken;
}

void Output::reset() {
  fields_ = Json::object();
  steps_ = Json::array();
}

}  // namespace pelvtool
