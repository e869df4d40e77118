// The shell's line editor: keys in, the line and its cursor out, with a history
// walked by the arrow keys. It keeps no terminal state of its own, so it runs
// the same on any terminal and in tests.
//
// Keys understood: printable characters; Backspace (7F or 08); Delete (ESC [ 3 ~);
// Left/Right (ESC [ D / C); Up/Down (ESC [ A / B) walk the history; Home/End
// (ESC [ H / F, ESC [ 1 ~ / 4 ~, Ctrl-A / Ctrl-E); Ctrl-U clears the line;
// Ctrl-K cuts to its end; Ctrl-C abandons it; Ctrl-D ends input on an empty line;
// Enter (CR or LF) accepts it.
#pragma once

#include <string>
#include <vector>

namespace pelvtool {

class LineEditor {
 public:
  enum class Event { None, Accept, Cancel, EndOfInput };

  explicit LineEditor(const std::vector<std::string>& history) : history_(history) {}

  // Takes one byte typed; tells what happened to the line.
  Event feed(unsigned char byte);

  const std::string& line() const { return line_; }
  std::size_t cursor() const { return cursor_; }

  // The line drawn after the prompt: CR, prompt, line, clear to the end, and the
  // cursor moved back to its place.
  std::string render(const std::string& prompt) const;

 private:
  void recall(std::size_t index);
  void escape(unsigned char byte);

  const std::vector<std::string>& history_;
  std::string line_;
  std::size_t cursor_ = 0;
  std::size_t historyAt_ = static_cast<std::size_t>(-1);  // -1: the line being typed
  std::string typed_;        // the line being typed, kept while the history is walked
  std::string escapeSeq_;    // bytes after ESC, until the sequence is complete
  bool inEscape_ = false;
};

// The history of the shell: adds lines (not blank, not repeating the last one),
// and expands "!!" and "!N" (1-based). False with a message when there is no such entry.
class History {
 public:
  void add(const std::string& line);
  bool expand(const std::string& line, std::string* out, std::string* error) const;
  const std::vector<std::string>& lines() const { return lines_; }
  std::string listing() const;  // "  1  info\n  2  detect\n"

 private:
  std::vector<std::string> lines_;
};

// Splits a shell line into words: blanks separate, single or double quotes
// group. Empty, with a message, for an unclosed quote.
std::vector<std::string> splitWords(const std::string& line, std::string* error);

}  // namespace pelvtool
