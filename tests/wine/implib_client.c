/* Links against the import library as a C program using pelvane.h does: every
 * __stdcall function must resolve through libpelvane.dll.a, and the DLL must be
 * asked for the plain names. It is linked, never run: the export check reads its
 * import table. */
#include <stddef.h>

#include "pelvane.h"

int main(void) {
  unsigned char buffer[PELVANE_RESPONSE_MAX];
  int32_t value = 0;
  int sum = RF_OPEN(1, &value) + RF_CLOSE(1) + RF_COMMAND(1, buffer, buffer);
  sum += RW_Open(1) + RW_Close(1) + RW_Activate(1, 1, 0, 0, 0) + RW_Deactivate(1, 0, 0);
  sum += RW_Eject(1, 1) + RW_Insert(1, 0) + RW_Sense(1, 0, &value, 0);
  sum += RW_Transmit(1, 0, 0, 1, buffer, &value, buffer);
  sum += PV_SetTraceSink(NULL) + PV_SetPortDevice(1, NULL) + PV_SetLineSpeed(1, 0);
  return sum;
}
