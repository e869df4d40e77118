// The controller behind a named pipe or a COM port on Windows. One thread
// waits on the pipe's connection, its overlapped read and a stop event, hands
// what the host wrote to the model with the host's line speed, and writes the
// model's bytes to the host when they are due. This is the simulator's only
// file that uses the Windows API.
#include "pipe_server.h"

#include <windows.h>

#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace pelvsim {

namespace {

// The records the library's Windows platform writes into the pipe: kRecordData,
// a count of 1..255, that many line bytes; or kRecordSpeed and the host's new
// line speed, 4 bytes little-endian.
constexpr std::uint8_t kRecordData = 0x00;
constexpr std::uint8_t kRecordSpeed = 0x01;

constexpr DWORD kPipeBufferSize = 65536;
// While nothing is due, the thread still wakes now and then.
constexpr DWORD kIdleWaitMs = 200;
// A COM port is polled for input this often (its reads return at once).
constexpr DWORD kPortPollMs = 1;

std::string lastErrorText(const char* what) {
  char text[256] = "";
  const DWORD code = GetLastError();
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == '.')) s.pop_back();
  return std::string(what) + ": " + s + " (error " + std::to_string(code) + ")";
}

// Reads the record stream of one client; partial records carry over between reads.
struct RecordReader {
  int stage = 0;  // 0: type, 1: data count, 2: data, 3..6: speed bytes
  unsigned remaining = 0;
  std::uint32_t speed = 0;
};

}  // namespace

struct PipeServer::State {
  Controller controller;
  std::mutex mutex;
  bool isPort = false;
  std::string path;
  HANDLE listening = INVALID_HANDLE_VALUE;  // the pipe instance the next client connects to
  HANDLE active = INVALID_HANDLE_VALUE;     // the connected client, or the COM port
  HANDLE stopEvent = nullptr;
  HANDLE connectEvent = nullptr;
  HANDLE readEvent = nullptr;
  HANDLE writeEvent = nullptr;
  OVERLAPPED connectOv{};
  OVERLAPPED readOv{};
  OVERLAPPED writeOv{};
  bool connectPending = false;
  bool readPending = false;
  bool writePending = false;
  std::vector<std::uint8_t> readBuffer = std::vector<std::uint8_t>(4096);
  std::vector<std::uint8_t> writeBuffer;
  RecordReader records;
  // The host's line speed as its last speed record gave it; it stays over a
  // reopening, as a COM port keeps its settings. 0 on a COM port: unknown.
  std::uint32_t hostBaud = 115200;
  std::uint32_t portBaud = 0;
  std::thread thread;
  std::atomic<bool> running{false};
  std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();

  std::uint64_t now() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - epoch)
                                          .count());
  }

  bool makeEvents() {
    for (HANDLE* e : {&stopEvent, &connectEvent, &readEvent, &writeEvent}) {
      if (*e == nullptr) *e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (*e == nullptr) return false;
    }
    return true;
  }

  // A new instance that waits for the next client.
  bool listen(bool first) {
    listening = CreateNamedPipeA(
        path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
        kPipeBufferSize, 0, nullptr);
    if (listening == INVALID_HANDLE_VALUE) return false;
    std::memset(&connectOv, 0, sizeof connectOv);
    connectOv.hEvent = connectEvent;
    ResetEvent(connectEvent);
    connectPending = true;
    if (!ConnectNamedPipe(listening, &connectOv)) {
      const DWORD e = GetLastError();
      if (e == ERROR_PIPE_CONNECTED) {
        connectPending = false;  // the client came between the two calls
        SetEvent(connectEvent);
      } else if (e != ERROR_IO_PENDING) {
        CloseHandle(listening);
        listening = INVALID_HANDLE_VALUE;
        return false;
      }
    }
    return true;
  }

  void finishIo(OVERLAPPED* ov, bool* pending) {
    if (!*pending) return;
    CancelIo(active);
    DWORD n = 0;
    GetOverlappedResult(active, ov, &n, TRUE);
    *pending = false;
  }

  void dropActive() {
    if (active == INVALID_HANDLE_VALUE) return;
    finishIo(&readOv, &readPending);
    finishIo(&writeOv, &writePending);
    if (!isPort) {
      DisconnectNamedPipe(active);
      CloseHandle(active);
      active = INVALID_HANDLE_VALUE;
    }
  }

  void startRead() {
    std::memset(&readOv, 0, sizeof readOv);
    readOv.hEvent = readEvent;
    ResetEvent(readEvent);
    if (ReadFile(active, readBuffer.data(), static_cast<DWORD>(readBuffer.size()), nullptr, &readOv) ||
        GetLastError() == ERROR_IO_PENDING) {
      readPending = true;
      return;
    }
    if (!isPort) dropActive();
  }

  void connected() {
    if (connectPending) {
      DWORD n = 0;
      const BOOL ok = GetOverlappedResult(listening, &connectOv, &n, FALSE);
      if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) return;
      connectPending = false;
    }
    ResetEvent(connectEvent);
    // The newest client takes the line: a host reopening its port has closed the old one.
    dropActive();
    active = listening;
    listening = INVALID_HANDLE_VALUE;
    records = RecordReader{};
    startRead();
    listen(false);
  }

  // Line bytes go to the model at the host's speed; speed records change it.
  void takeRecords(const std::uint8_t* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex);
    if (isPort) {
      controller.hostWrote(data, n, now(), 0);
      return;
    }
    RecordReader& r = records;
    std::size_t k = 0;
    while (k < n) {
      if (r.stage == 0) {
        const std::uint8_t type = data[k++];
        if (type == kRecordData) {
          r.stage = 1;
        } else if (type == kRecordSpeed) {
          r.stage = 3;
          r.speed = 0;
        }  // anything else is not a record: skipped
      } else if (r.stage == 1) {
        r.remaining = data[k++];
        r.stage = r.remaining ? 2 : 0;
      } else if (r.stage == 2) {
        const std::size_t run = std::min<std::size_t>(r.remaining, n - k);
        controller.hostWrote(data + k, run, now(), hostBaud);
        k += run;
        r.remaining -= static_cast<unsigned>(run);
        if (r.remaining == 0) r.stage = 0;
      } else {
        r.speed |= static_cast<std::uint32_t>(data[k++]) << (8 * (r.stage - 3));
        if (++r.stage == 7) {
          hostBaud = r.speed;
          r.stage = 0;
        }
      }
    }
  }

  void readDone() {
    DWORD n = 0;
    if (!GetOverlappedResult(active, &readOv, &n, FALSE)) {
      if (GetLastError() == ERROR_IO_INCOMPLETE) return;
      readPending = false;
      if (!isPort) {
        dropActive();  // the client closed the pipe
        return;
      }
    }
    readPending = false;
    if (n > 0) takeRecords(readBuffer.data(), n);
    startRead();
  }

  bool setPortSpeed(std::uint32_t baud) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(active, &dcb)) return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    if (!SetCommState(active, &dcb)) return false;
    portBaud = baud;
    return true;
  }

  void writeDue() {
    std::vector<std::uint8_t> due;
    {
      std::lock_guard<std::mutex> lock(mutex);
      const std::uint64_t at = now();
      for (int b = controller.pop(at); b >= 0; b = controller.pop(at))
        due.push_back(static_cast<std::uint8_t>(b));
    }
    if (active == INVALID_HANDLE_VALUE) return;  // nobody connected: the bytes are lost
    if (writePending) {
      DWORD n = 0;
      if (GetOverlappedResult(active, &writeOv, &n, FALSE)) {
        writePending = false;
      } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
        writePending = false;
      }
    }
    // A host that does not read loses bytes, as an overrun line would.
    if (due.empty() || writePending) return;
    writeBuffer.swap(due);
    std::memset(&writeOv, 0, sizeof writeOv);
    writeOv.hEvent = writeEvent;
    ResetEvent(writeEvent);
    if (WriteFile(active, writeBuffer.data(), static_cast<DWORD>(writeBuffer.size()), nullptr, &writeOv) ||
        GetLastError() == ERROR_IO_PENDING) {
      writePending = true;
    } else if (!isPort) {
      dropActive();
    }
  }

  // A COM port's input, read without waiting: what its queue holds.
  void pollPort() {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(active, &errors, &stat) || stat.cbInQue == 0) return;
    DWORD n = 0;
    const DWORD want = std::min<DWORD>(stat.cbInQue, static_cast<DWORD>(readBuffer.size()));
    if (ReadFile(active, readBuffer.data(), want, &n, nullptr) && n > 0) takeRecords(readBuffer.data(), n);
  }

  void writePort() {
    std::vector<std::uint8_t> due;
    std::uint32_t modelBaud = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      const std::uint64_t at = now();
      for (int b = controller.pop(at); b >= 0; b = controller.pop(at))
        due.push_back(static_cast<std::uint8_t>(b));
      modelBaud = controller.baud();
    }
    DWORD written = 0;
    if (!due.empty()) WriteFile(active, due.data(), static_cast<DWORD>(due.size()), &written, nullptr);
    // The controller's speed switch: its port follows once what went before has gone out.
    if (modelBaud != portBaud) setPortSpeed(modelBaud);
  }

  void servePort() {
    while (WaitForSingleObject(stopEvent, kPortPollMs) == WAIT_TIMEOUT) {
      pollPort();
      writePort();
    }
    running.store(false);
  }

  void serve() {
    if (isPort) {
      servePort();
      return;
    }
    for (;;) {
      std::uint64_t next;
      {
        std::lock_guard<std::mutex> lock(mutex);
        next = controller.nextArrivalUs();
      }
      const std::uint64_t t = now();
      DWORD waitMs = kIdleWaitMs;
      if (next != UINT64_MAX) {
        const std::uint64_t us = next > t ? next - t : 0;
        waitMs = static_cast<DWORD>(std::min<std::uint64_t>((us + 999) / 1000, kIdleWaitMs));
      }
      HANDLE handles[3];
      DWORD count = 0;
      handles[count++] = stopEvent;
      if (!isPort && listening != INVALID_HANDLE_VALUE) handles[count++] = connectEvent;
      if (readPending) handles[count++] = readEvent;
      const DWORD r = WaitForMultipleObjects(count, handles, FALSE, waitMs);
      if (r == WAIT_OBJECT_0) break;
      if (r == WAIT_FAILED) break;
      if (!isPort && listening != INVALID_HANDLE_VALUE && WaitForSingleObject(connectEvent, 0) == WAIT_OBJECT_0)
        connected();
      if (!isPort && listening == INVALID_HANDLE_VALUE) listen(false);
      if (readPending && WaitForSingleObject(readEvent, 0) == WAIT_OBJECT_0) readDone();
      writeDue();
    }
    running.store(false);
  }

  void closeAll() {
    dropActive();
    if (isPort && active != INVALID_HANDLE_VALUE) CloseHandle(active);
    active = INVALID_HANDLE_VALUE;
    if (listening != INVALID_HANDLE_VALUE) {
      CancelIo(listening);
      CloseHandle(listening);
      listening = INVALID_HANDLE_VALUE;
    }
  }
};

PipeServer::PipeServer() : state_(new State) {}

PipeServer::~PipeServer() {
  stop();
  state_->closeAll();
  for (HANDLE e : {state_->stopEvent, state_->connectEvent, state_->readEvent, state_->writeEvent}) {
    if (e != nullptr) CloseHandle(e);
  }
}

bool PipeServer::openPipe(const std::string& name, std::string* error) {
  State& s = *state_;
  if (!s.makeEvents()) {
    if (error) *error = lastErrorText("CreateEvent");
    return false;
  }
  s.isPort = false;
  s.path = name.rfind("\\\\.\\pipe\\", 0) == 0 ? name : "\\\\.\\pipe\\" + name;
  if (!s.listen(true)) {
    if (error) *error = lastErrorText(("CreateNamedPipe " + s.path).c_str());
    if (error && GetLastError() == ERROR_ACCESS_DENIED) *error += "; is another simulator serving it?";
    return false;
  }
  return true;
}

bool PipeServer::openPort(const std::string& port, std::string* error) {
  State& s = *state_;
  if (!s.makeEvents()) {
    if (error) *error = lastErrorText("CreateEvent");
    return false;
  }
  s.isPort = true;
  s.hostBaud = 0;
  s.path = port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port;
  s.active = CreateFileA(s.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (s.active == INVALID_HANDLE_VALUE) {
    if (error) *error = lastErrorText(("CreateFile " + s.path).c_str());
    return false;
  }
  std::uint32_t baud = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    baud = s.controller.baud();
  }
  // A read returns at once with what has come; the thread polls the queue.
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
  if (!s.setPortSpeed(baud) || !SetCommTimeouts(s.active, &t)) {
    if (error) *error = lastErrorText(("setting up " + s.path).c_str());
    CloseHandle(s.active);
    s.active = INVALID_HANDLE_VALUE;
    return false;
  }
  PurgeComm(s.active, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return true;
}

const std::string& PipeServer::slavePath() const { return state_->path; }

bool PipeServer::start() {
  State& s = *state_;
  const bool open = s.isPort ? s.active != INVALID_HANDLE_VALUE : s.listening != INVALID_HANDLE_VALUE;
  if (!open || s.running.load()) return false;
  ResetEvent(s.stopEvent);
  s.running.store(true);
  // Waits that end on time rather than at the next 15.6 ms tick, for paced lines.
  timeBeginPeriod(1);
  s.thread = std::thread([&s] { s.serve(); });
  return true;
}

void PipeServer::stop() {
  State& s = *state_;
  if (!s.thread.joinable()) return;
  SetEvent(s.stopEvent);
  s.thread.join();
  timeEndPeriod(1);
}

bool PipeServer::running() const { return state_->running.load(); }

void PipeServer::withController(const std::function<void(Controller&)>& fn) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  fn(state_->controller);
}

std::uint64_t PipeServer::nowUs() const { return state_->now(); }

}  // namespace pelvsim
