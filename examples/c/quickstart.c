/* quickstart.c: open the reader, find a FeliCa card, read one block, close.
 *
 *   quickstart            scan the CP210x and PL2303 ports for a reader
 *   quickstart 3          open COM3
 *   quickstart 1 PATH     map port 1 onto a device path first (for example the
 *                         pseudo-terminal of the virtual reader on Linux)
 *
 * Build from the unpacked package's folder (see docs/windows-guide.md), then copy
 * bin/pelvane.dll beside quickstart.exe:
 *   MinGW:       gcc examples/c/quickstart.c -Iinclude -Llib -lpelvane -o quickstart.exe
 *   Visual C++:  cl examples\c\quickstart.c /Iinclude lib\pelvane.lib
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pelvane.h"

/* Sends one command packet and checks the result and the STATUS byte. Some
 * failures write no response at all (result 2 before a mode is selected, for
 * example): a CMD byte that is not the command's, set before the call, tells. */
static int command(int32_t port, const uint8_t* packet, uint8_t* response, const char* what) {
  response[1] = (uint8_t)~packet[1];
  uint16_t result = RF_COMMAND(port, packet, response);
  if (response[1] != packet[1]) {
    printf("%s failed: result %u, no response\n", what, (unsigned)result);
    return 0;
  }
  if (result != 0 || response[2] != 0x00) {
    printf("%s failed: result %u, status 0x%02X\n", what, (unsigned)result, (unsigned)response[2]);
    return 0;
  }
  return 1;
}

/* Everything between opening and closing. Returns 0 when the block was read. */
static int readOneBlock(int32_t port) {
  static uint8_t response[PELVANE_RESPONSE_MAX];
  uint8_t idm[8];
  int i;

  /* Mode selection: FeliCa (mode code 0x10), time-out 1.0 s (10 tenths).
   * The answer carries the controller's IC code and firmware version. */
  const uint8_t selectFelica[] = {0x07, 0x10, 0x10, 0x0A, 0x00, 0x00, 0x00};
  if (!command(port, selectFelica, response, "mode selection")) return 1;
  printf("controller IC 0x%02X, firmware version 0x%02X\n", response[3], response[4]);

  /* Polling for any system code (FF FF), time slot 0: the answer holds the IDm. */
  const uint8_t poll[] = {0x05, 0x20, 0xFF, 0xFF, 0x00};
  if (!command(port, poll, response, "polling")) return 1;
  printf("card IDm");
  for (i = 0; i < 8; ++i) {
    idm[i] = response[3 + i];
    printf(" %02X", idm[i]);
  }
  printf("\n");

  /* Read Without Encryption: IDm, one service (090F, high byte first), one
   * block (element 80 00: block 0 of the first service). 16 bytes come back. */
  uint8_t readBlock[16] = {0x10, 0x30};
  for (i = 0; i < 8; ++i) readBlock[2 + i] = idm[i];
  readBlock[10] = 0x01; /* one service */
  readBlock[11] = 0x09;
  readBlock[12] = 0x0F;
  readBlock[13] = 0x01; /* one block */
  readBlock[14] = 0x80;
  readBlock[15] = 0x00;
  if (!command(port, readBlock, response, "reading")) return 1;
  printf("block 0:");
  for (i = 0; i < 16; ++i) printf(" %02X", response[3 + i]);
  printf("\n");
  return 0;
}

/* While the port opens, the library says why each step that fails failed:
 * one "open: " line per step, to this sink. */
static void PELVANE_CALL printOpeningLine(const char* line) {
  if (strncmp(line, "open: ", 6) == 0) printf("  %s", line);
}

/* What a failed RF_OPEN means, by its result. */
static const char* openFailure(uint16_t result) {
  switch (result) {
    case PELVANE_RESULT_NO_PORT: return "no reader found on any CP210x or PL2303 port";
    case PELVANE_RESULT_REFUSED: return "the port number is outside 1 to 256";
    default: return "the port is missing or busy, or no reader answered on it";
  }
}

int main(int argc, char** argv) {
  int32_t port = PELVANE_PORT_SCAN;
  int32_t opened = 0;

  if (argc > 1) port = atoi(argv[1]);
  if (argc > 2 && PV_SetPortDevice(port, argv[2]) != 0) {
    printf("cannot map port %d to %s\n", (int)port, argv[2]);
    return 2;
  }

  PV_SetTraceSink(printOpeningLine);
  uint16_t result = RF_OPEN(port, &opened);
  PV_SetTraceSink(NULL);
  if (result != 0) {
    printf("RF_OPEN failed with %u: %s\n", (unsigned)result, openFailure(result));
    return 3;
  }
  printf("reader opened on port %d\n", (int)opened);

  int failed = readOneBlock(opened);
  RF_CLOSE(opened);
  printf("closed\n");
  return failed;
}
