/* A host program built from the unpacked package only: with clang-cl as Visual
 * C++ builds it (linked against lib/pelvane.lib, no C run-time) and with MinGW
 * (lib/libpelvane.dll.a). It opens COM3, where the simulated reader answers, runs
 * one table of calls and prints one line per call; the exit code counts the
 * calls that did not give what they should. */
#include "pelvane.h"

/* The few kernel32 calls it needs, declared here: Visual C++ builds have no
 * Windows SDK on this machine. */
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

#define STD_OUTPUT_HANDLE ((unsigned long)-11)
#define PORT 3

static uint8_t response[PELVANE_RESPONSE_MAX];
static char line[600];
static int at;

static void put(const char* text) {
  while (*text != '\0' && at < (int)sizeof line - 2) line[at++] = *text++;
}
static void putHex(const uint8_t* bytes, int n) {
  static const char digits[] = "0123456789ABCDEF";
  int i;
  for (i = 0; i < n && at < (int)sizeof line - 4; ++i) {
    line[at++] = ' ';
    line[at++] = digits[bytes[i] >> 4];
    line[at++] = digits[bytes[i] & 15];
  }
}
static int endLine(int good) {
  unsigned long written = 0;
  put(good ? "  ok" : "  WRONG");
  line[at++] = '\n';
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (unsigned long)at, &written, 0);
  at = 0;
  return good ? 0 : 1;
}
static int same(const uint8_t* a, const uint8_t* b, int n) {
  int i;
  for (i = 0; i < n; ++i) {
    if (a[i] != b[i]) return 0;
  }
  return 1;
}

/* One RF_COMMAND: the packet, the port, and the response's first bytes wanted. */
struct Call {
  const char* what;
  int32_t port;
  uint8_t packet[8];
  uint16_t result;
  uint8_t want[8];
  int wantLength;
};

static const struct Call calls[] = {
    {"select FeliCa", PORT, {0x07, 0x10, 0x10, 0x0A, 0, 0, 0}, 0, {0x05, 0x10, 0x00, 0x32, 0x01}, 5},
    {"poll FeliCa", PORT, {0x05, 0x20, 0xFF, 0xFF, 0x00}, 0, {0x0B, 0x20, 0x00, 0x01, 0x2E}, 5},
    {"line speed", PORT, {0x02, 0xF0}, 0, {0x04, 0xF0, 0x00, 0x04}, 4},
    {"port not open", 99, {0x05, 0x20, 0xFF, 0xFF, 0x00}, 2, {0x03, 0x20, 0xFF}, 3},
};

int run(void) {
  int failures = 0;
  unsigned i;
  int32_t opened = 0;
  int32_t status = -1;
  uint16_t result = RF_OPEN(PORT, &opened);
  put("RF_OPEN");
  putHex((const uint8_t*)&opened, 1);
  failures += endLine(result == 0 && opened == PORT);
  if (result != 0) return failures + 1;

  for (i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
    const struct Call* c = &calls[i];
    response[1] = (uint8_t)~c->packet[1];
    result = RF_COMMAND(c->port, c->packet, response);
    put(c->what);
    putHex(response, response[1] == c->packet[1] ? response[0] : 0);
    failures += endLine(result == c->result && same(response, c->want, c->wantLength));
  }

  put("RW_Sense");
  failures += endLine(RW_Sense(PORT, 0, &status, 0) == 0 && status == PELVANE_CARD_NONE);
  put("RF_CLOSE twice");
  result = (uint16_t)(RF_CLOSE(PORT) * 10 + RF_CLOSE(PORT));
  failures += endLine(result == 1);
  /* Every other export links too; none of these touches a port that is open. */
  put("RW_ on a closed port");
  failures += endLine(RW_Transmit(PORT, 0, 0, 1, response, &status, response) == PELVANE_RW_TRANSMIT_FAILED &&
                      RW_Activate(PORT, 3, 0, 0, 0) == PELVANE_RW_BAD_KIND &&
                      RW_Eject(PORT, 3) == PELVANE_RW_BAD_KIND && RW_Close(PORT) == 0 &&
                      PV_SetTraceSink(0) == 0 && PV_SetPortDevice(0, 0) == PELVANE_EXT_REFUSED &&
                      RW_Deactivate(0, 0, 0) == PELVANE_LINK_TIMEOUT &&
                      RW_Insert(0, 0) == PELVANE_RW_NO_CARD && RW_Open(0) != 0);
  return failures;
}

#if defined(_MSC_VER)
/* The entry point of a program linked without the C run-time. */
void start(void) { ExitProcess((unsigned int)run()); }
#else
int main(void) { return run(); }
#endif
