#include "terminal.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <cerrno>
#include <termios.h>
#include <unistd.h>
#endif

namespace pelvtool {

bool isTerminal(std::FILE* stream) {
#if defined(_WIN32)
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

Progress::Progress(std::string unit, unsigned total, bool enabled)
    : unit_(std::move(unit)), total_(total), shown_(enabled && total > 0 && isTerminal(stderr)) {
  update(0);
}

Progress::~Progress() { finish(); }

void Progress::update(unsigned done) {
  if (!shown_ || finished_) return;
  constexpr unsigned kWidth = 30;
  const unsigned filled = total_ ? (done > total_ ? kWidth : done * kWidth / total_) : kWidth;
  std::string bar(filled, '#');
  bar.resize(kWidth, ' ');
  std::fprintf(stderr, "\r[%s] %3u/%u %s", bar.c_str(), done, total_, unit_.c_str());
  std::fflush(stderr);
}

void Progress::finish() {
  if (!shown_ || finished_) return;
  finished_ = true;
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

#if defined(_WIN32)

// No raw mode here: nothing is ever saved, but the keys own their Saved on
// every platform.
struct RawKeys::Saved {};
RawKeys::RawKeys() = default;
RawKeys::~RawKeys() { delete saved_; }
int RawKeys::next() { return -1; }

#else

struct RawKeys::Saved {
  termios mode;
};

RawKeys::RawKeys() {
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return;
  saved_ = new Saved;
  if (tcgetattr(STDIN_FILENO, &saved_->mode) != 0) return;
  termios raw = saved_->mode;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | IEXTEN | ISIG));  // Ctrl-C edits the line
  raw.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
}

RawKeys::~RawKeys() {
  if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_->mode);
  delete saved_;
}

int RawKeys::next() {
  unsigned char c = 0;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n == 0) return -1;
    if (errno != EINTR) return -1;
  }
}

#endif

}  // namespace pelvtool
