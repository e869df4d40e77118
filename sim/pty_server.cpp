// The controller behind a pseudo-terminal: one thread reads what the host
// writes, hands it to the model with the host side's line speed, and writes the
// model's bytes to the host when they are due. It sleeps in ppoll() until input
// arrives, the next byte is due, or stop() wakes it.
#include "pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace pelvsim {

namespace {

std::uint32_t speedOf(speed_t s) {
  switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 1;  // a speed the controller never runs at
  }
}

// While nothing is due, the thread still wakes now and then.
constexpr std::uint64_t kIdleWaitUs = 200000;

}  // namespace

struct PtyServer::State {
  Controller controller;
  std::mutex mutex;
  int master = -1;
  int slave = -1;
  std::string slavePath;
  int wake[2] = {-1, -1};
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<bool> running{false};
  std::atomic<bool> dropRequested{false};
  std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();

  std::uint64_t now() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - epoch)
                                          .count());
  }

  // The host side's speed as it set it on the slave.
  std::uint32_t hostBaud() const {
    termios tio{};
    if (slave < 0 || tcgetattr(slave, &tio) != 0) return 0;
    return speedOf(cfgetospeed(&tio));
  }

  void closeLine() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = -1;
    slave = -1;
  }

  void serve() {
    // Byte times at 921600 baud are 10.85 us; the default 50 us timer slack of
    // this thread's waits would bunch them, so the line is paced to 1 us.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    std::vector<std::uint8_t> buffer(4096);
    std::vector<std::uint8_t> due;
    while (!stopping.load()) {
      if (dropRequested.load()) {
        std::lock_guard<std::mutex> lock(mutex);
        closeLine();
        dropRequested.store(false);
      }
      int fd;
      std::uint64_t next;
      {
        std::lock_guard<std::mutex> lock(mutex);
        fd = master;
        next = controller.nextArrivalUs();
      }
      const std::uint64_t t = now();
      std::uint64_t waitUs = next == UINT64_MAX ? kIdleWaitUs : (next > t ? next - t : 0);
      if (waitUs > kIdleWaitUs) waitUs = kIdleWaitUs;
      pollfd fds[2] = {{wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
      timespec ts{static_cast<time_t>(waitUs / 1000000), static_cast<long>((waitUs % 1000000) * 1000)};
      const int ready = ppoll(fds, fd >= 0 ? 2 : 1, &ts, nullptr);
      if (ready < 0 && errno != EINTR) break;
      if (fds[0].revents & POLLIN) {
        char c[16];
        while (::read(wake[0], c, sizeof c) > 0) {
        }
      }
      if (fd >= 0 && (fds[1].revents & POLLIN)) {
        // The host's speed is taken before the bytes are read: a host that changes
        // speed with TCSADRAIN waits until these bytes are read, so this is the speed
        // they were sent at.
        const std::uint32_t baud = hostBaud();
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
          std::lock_guard<std::mutex> lock(mutex);
          controller.hostWrote(buffer.data(), static_cast<std::size_t>(n), now(), baud);
        }
      }
      due.clear();
      {
        std::lock_guard<std::mutex> lock(mutex);
        const std::uint64_t at = now();
        for (int b = controller.pop(at); b >= 0; b = controller.pop(at))
          due.push_back(static_cast<std::uint8_t>(b));
        fd = master;
      }
      // A full slave buffer (nobody reading) loses bytes, as an overrun line would.
      std::size_t done = 0;
      while (fd >= 0 && done < due.size()) {
        const ssize_t w = ::write(fd, due.data() + done, due.size() - done);
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
      }
    }
    running.store(false);
  }
};

PtyServer::PtyServer() : state_(new State) {}

PtyServer::~PtyServer() {
  stop();
  state_->closeLine();
  for (int& fd : state_->wake) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

bool PtyServer::open(std::string* error) {
  State& s = *state_;
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    s.closeLine();
    return false;
  };
  if (s.master >= 0) return true;
  s.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s.master < 0) return fail("posix_openpt");
  if (grantpt(s.master) != 0 || unlockpt(s.master) != 0) return fail("grantpt/unlockpt");
  const char* name = ptsname(s.master);
  if (!name) return fail("ptsname");
  s.slavePath = name;
  s.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s.slave < 0) return fail("open slave");
  termios tio{};
  if (tcgetattr(s.slave, &tio) != 0) return fail("tcgetattr");
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  if (tcsetattr(s.slave, TCSANOW, &tio) != 0) return fail("tcsetattr");
  const int flags = fcntl(s.master, F_GETFL);
  if (flags < 0 || fcntl(s.master, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
  if (s.wake[0] < 0) {
    if (pipe(s.wake) != 0) return fail("pipe");
    for (int fd : s.wake) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  return true;
}

const std::string& PtyServer::slavePath() const { return state_->slavePath; }

bool PtyServer::start() {
  State& s = *state_;
  if (s.master < 0 || s.running.load()) return false;
  s.stopping.store(false);
  s.running.store(true);
  s.thread = std::thread([&s] { s.serve(); });
  return true;
}

void PtyServer::stop() {
  State& s = *state_;
  if (!s.thread.joinable()) return;
  s.stopping.store(true);
  if (s.wake[1] >= 0) {
    const char c = 1;
    (void)::write(s.wake[1], &c, 1);
  }
  s.thread.join();
}

bool PtyServer::running() const { return state_->running.load(); }

void PtyServer::withController(const std::function<void(Controller&)>& fn) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  fn(state_->controller);
}

void PtyServer::dropLine() {
  State& s = *state_;
  if (!s.running.load()) {
    s.closeLine();
    return;
  }
  // The serving thread closes the descriptors itself, so none is closed under it.
  s.dropRequested.store(true);
  const char c = 1;
  (void)::write(s.wake[1], &c, 1);
  while (s.dropRequested.load() && s.running.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::uint64_t PtyServer::nowUs() const { return state_->now(); }

}  // namespace pelvsim
