#include "line_editor.h"

#include <cstdio>

namespace pelvtool {
namespace {

constexpr unsigned char kCtrlA = 0x01, kCtrlC = 0x03, kCtrlD = 0x04, kCtrlE = 0x05, kBackspace8 = 0x08,
                        kCtrlK = 0x0B, kLf = 0x0A, kCr = 0x0D, kCtrlU = 0x15, kEsc = 0x1B, kDel = 0x7F;
constexpr std::size_t kNoHistory = static_cast<std::size_t>(-1);

}  // namespace

LineEditor::Event LineEditor::feed(unsigned char byte) {
  if (inEscape_) {
    escape(byte);
    return Event::None;
  }
  switch (byte) {
    case kCr:
    case kLf: return Event::Accept;
    case kCtrlC:
      line_.clear();
      typed_.clear();
      cursor_ = 0;
      historyAt_ = kNoHistory;
      return Event::Cancel;
    case kCtrlD:
      if (line_.empty()) return Event::EndOfInput;
      if (cursor_ < line_.size()) line_.erase(cursor_, 1);
      return Event::None;
    case kCtrlA: cursor_ = 0; return Event::None;
    case kCtrlE: cursor_ = line_.size(); return Event::None;
    case kCtrlU:
      line_.clear();
      cursor_ = 0;
      return Event::None;
    case kCtrlK: line_.erase(cursor_); return Event::None;
    case kDel:
    case kBackspace8:
      if (cursor_ > 0) line_.erase(--cursor_, 1);
      return Event::None;
    case kEsc:
      inEscape_ = true;
      escapeSeq_.clear();
      return Event::None;
    default:
      if (byte >= 0x20 && byte < 0x7F) line_.insert(cursor_++, 1, static_cast<char>(byte));
      return Event::None;  // other control bytes and non-ASCII are ignored
  }
}

void LineEditor::escape(unsigned char byte) {
  escapeSeq_ += static_cast<char>(byte);
  if (escapeSeq_.size() == 1) {
    if (byte != '[' && byte != 'O') inEscape_ = false;  // not a sequence we know
    return;
  }
  // CSI parameters are digits and ';'; the final byte ends the sequence. A
  // sequence too long to be one of ours is swallowed whole and ignored.
  if ((byte >= '0' && byte <= '9') || byte == ';') {
    if (escapeSeq_.size() > 16) escapeSeq_.resize(17);  // remembered as too long
    return;
  }
  inEscape_ = false;
  if (escapeSeq_.size() > 16) return;
  const std::string params = escapeSeq_.substr(1, escapeSeq_.size() - 2);
  switch (byte) {
    case 'A':
      if (history_.empty()) return;
      if (historyAt_ == kNoHistory) {
        typed_ = line_;
        recall(history_.size() - 1);
      } else if (historyAt_ > 0) {
        recall(historyAt_ - 1);
      }
      return;
    case 'B':
      if (historyAt_ == kNoHistory) return;
      if (historyAt_ + 1 < history_.size()) {
        recall(historyAt_ + 1);
      } else {
        historyAt_ = kNoHistory;
        line_ = typed_;
        cursor_ = line_.size();
      }
      return;
    case 'C':
      if (cursor_ < line_.size()) ++cursor_;
      return;
    case 'D':
      if (cursor_ > 0) --cursor_;
      return;
    case 'H': cursor_ = 0; return;
    case 'F': cursor_ = line_.size(); return;
    case '~':
      if (params == "1" || params == "7") cursor_ = 0;
      if (params == "4" || params == "8") cursor_ = line_.size();
      if (params == "3" && cursor_ < line_.size()) line_.erase(cursor_, 1);
      return;
    default: return;
  }
}

void LineEditor::recall(std::size_t index) {
  historyAt_ = index;
  line_ = history_[index];
  cursor_ = line_.size();
}

std::string LineEditor::render(const std::string& prompt) const {
  std::string s = "\r" + prompt + line_ + "\x1b[K";
  const std::size_t back = line_.size() - cursor_;
  if (back > 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "\x1b[%zuD", back);
    s += buf;
  }
  return s;
}

void History::add(const std::string& line) {
  if (line.find_first_not_of(" \t") == std::string::npos) return;
  if (!lines_.empty() && lines_.back() == line) return;
  lines_.push_back(line);
}

bool History::expand(const std::string& line, std::string* out, std::string* error) const {
  const std::size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] != '!') {
    *out = line;
    return true;
  }
  const std::string ref = line.substr(first + 1);
  if (ref == "!") {
    if (lines_.empty()) {
      if (error) *error = "the history is empty";
      return false;
    }
    *out = lines_.back();
    return true;
  }
  std::size_t n = 0;
  if (ref.empty() || ref.size() > 6 || ref.find_first_not_of("0123456789") != std::string::npos) {
    if (error) *error = "'" + line + "': use !! or !N";
    return false;
  }
  n = static_cast<std::size_t>(std::stoul(ref));
  if (n < 1 || n > lines_.size()) {
    if (error) *error = "no history entry " + ref;
    return false;
  }
  *out = lines_[n - 1];
  return true;
}

std::string History::listing() const {
  std::string s;
  char buf[32];
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%4zu  ", i + 1);
    s += buf + lines_[i] + "\n";
  }
  return s;
}

std::vector<std::string> splitWords(const std::string& line, std::string* error) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (char ch : line) {
    if (quote) {
      if (ch == quote) {
        quote = 0;
      } else {
        word += ch;
      }
      continue;
    }
    if (ch == '"' || ch == '\'') {
      quote = ch;
      inWord = true;
    } else if (ch == ' ' || ch == '\t') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += ch;
      inWord = true;
    }
  }
  if (quote) {
    if (error) *error = "unclosed quote";
    return {};
  }
  if (inWord) words.push_back(word);
  return words;
}

}  // namespace pelvtool
