/*
 * A host application as the library's users write one: it loads pelvane.dll with
 * LoadLibraryA, resolves the exports with GetProcAddress and drives simulated
 * readers on COM ports that tests/wine/run.sh has linked to pseudo-terminals.
 *
 *   host.exe <path of pelvane.dll> [--high] [--timer-fallback]
 *   host.exe <path of pelvane.dll> --pipes <pipe prefix>
 *
 * Ports: COM3 reader at 115200 (felica, lite, page, typeB, peer), COM4 reader
 * left at 9600, COM5 a line with no reader, COM7 a reader with a MIFARE card
 * that discovery finds as a CP210x bridge, COM8 listed as a Prolific bridge with
 * no device, COM6 a FeliCa reader pacing its line at the line speed (for the
 * figures only); with --high also COM256, a reader at 115200.
 * The DLL's imports of the timer calls are pointed at counting hooks, so the
 * run shows which pause the DLL takes; with --timer-fallback the hook refuses
 * high-resolution timers, as Windows before 10 version 1803 does (and first
 * hides CreateWaitableTimerExW, as Windows XP does), and the whole run goes
 * through the timeBeginPeriod fallback. The DLL's performance counter is
 * shifted so that its clock crosses the 32-bit wraps during the run.
 * With --pipes the same calls run against pelvane-sim.exe on named pipes
 * instead: <prefix>3 as COM3 (the reader at 115200), <prefix>4 as COM4 (left at
 * 9600, so opening runs the speed trial and switch), <prefix>5 as COM5 (a
 * reader with an empty field).
 * Prints one line per failed check and ends with "N passed, N failed".
 */
#include <windows.h>

#include <mmsystem.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pelvane.h"

enum { kReader = 3, kSlowReader = 4, kSilent = 5, kTimed = 6, kScanned = 7, kHigh = 256 };

static int passed;
static int failed;

static void check(int ok, const char* what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    printf("FAILED: %s\n", what);
  }
}

static void checkEqual(long long actual, long long expected, const char* what) {
  if (actual == expected) {
    ++passed;
  } else {
    ++failed;
    printf("FAILED: %s: got %lld (0x%llX), expected %lld (0x%llX)\n", what, actual,
           (unsigned long long)actual, expected, (unsigned long long)expected);
  }
}

static PelvaneRfOpenFn rfOpen;
static PelvaneRfCloseFn rfClose;
static PelvaneRfCommandFn rfCommand;
static PelvaneRwPortFn rwOpen;
static PelvaneRwPortFn rwClose;
static PelvaneRwActivateFn rwActivate;
static PelvaneRwDeactivateFn rwDeactivate;
static PelvaneRwKindFn rwEject;
static PelvaneRwKindFn rwInsert;
static PelvaneRwSenseFn rwSense;
static PelvaneRwTransmitFn rwTransmit;
static PelvaneSetTraceSinkFn setTraceSink;
static PelvaneSetPortDeviceFn setPortDevice;
static PelvaneSetLineSpeedFn setLineSpeed;

static HMODULE library;
static int refuseHighResolution;

/* A function pointer type any export converts to and from without a warning. */
typedef void (*AnyFunction)(void);

static AnyFunction resolve(const char* name) {
  FARPROC f = GetProcAddress(library, name);
  if (f == NULL) {
    ++failed;
    printf("FAILED: export %s not found\n", name);
  } else {
    ++passed;
  }
  return (AnyFunction)f;
}

/* Hex text ("07 10 10 0A") to bytes; returns the count. Anything but spaces and
 * pairs of hex digits is a fault of the test itself and counts as a failure. */
static size_t parseHex(const char* text, unsigned char* out, size_t room) {
  size_t n = 0;
  int high = -1;
  const char* start = text;
  for (; *text != '\0' && n < room; ++text) {
    int v;
    if (*text >= '0' && *text <= '9') {
      v = *text - '0';
    } else if (*text >= 'A' && *text <= 'F') {
      v = *text - 'A' + 10;
    } else if (*text >= 'a' && *text <= 'f') {
      v = *text - 'a' + 10;
    } else if (*text == ' ') {
      continue;
    } else {
      break;
    }
    if (high < 0) {
      high = v;
    } else {
      out[n++] = (unsigned char)(high * 16 + v);
      high = -1;
    }
  }
  if (*text != '\0' || high >= 0) {
    ++failed;
    printf("FAILED: not hex bytes: \"%s\"\n", start);
  }
  return n;
}

static unsigned char response[PELVANE_RESPONSE_MAX];

/* Sends packet; checks the result and that the response starts with expected. */
static void expectCommand(const char* what, int32_t port, const char* packet, unsigned result,
                          const char* expected) {
  unsigned char bytes[PELVANE_COMMAND_MAX + 1];
  unsigned char want[64];
  const size_t wantCount = parseHex(expected, want, sizeof want);
  char label[160];
  memset(bytes, 0, sizeof bytes);
  parseHex(packet, bytes, sizeof bytes);
  memset(response, 0xEE, sizeof response);
  const unsigned got = rfCommand(port, bytes, response);
  snprintf(label, sizeof label, "%s: result of %s", what, packet);
  checkEqual(got, result, label);
  if (memcmp(response, want, wantCount) != 0) {
    ++failed;
    printf("FAILED: %s: response", what);
    for (size_t i = 0; i < wantCount + 2 && i < sizeof response; ++i) printf(" %02X", response[i]);
    printf(", expected %s\n", expected);
  } else {
    ++passed;
  }
}

static char lastTrace[1024];
static int traceCount;
static void PELVANE_CALL onTrace(const char* line) {
  ++traceCount;
  snprintf(lastTrace, sizeof lastTrace, "%s", line);
}

/* The class members as an MSVC-built caller calls them: the object in ECX/RCX,
 * the constructor and both assignments giving the object back. */
#if defined(__i386__)
#define MEMBER_CALL __attribute__((thiscall))
#define MSVC_CONSTRUCT "??0CPelvane@@QAE@XZ"
#define MSVC_COPY "??4CPelvane@@QAEAAV0@ABV0@@Z"
#define MSVC_MOVE "??4CPelvane@@QAEAAV0@$$QAV0@@Z"
#else
#define MEMBER_CALL
#define MSVC_CONSTRUCT "??0CPelvane@@QEAA@XZ"
#define MSVC_COPY "??4CPelvane@@QEAAAEAV0@AEBV0@@Z"
#define MSVC_MOVE "??4CPelvane@@QEAAAEAV0@$$QEAV0@@Z"
#endif
typedef void*(MEMBER_CALL* ConstructFn)(void* self);
typedef void*(MEMBER_CALL* AssignFn)(void* self, const void* other);

static void classMembers(void) {
  unsigned char object[4] = {0};
  unsigned char other[4] = {0};
  ConstructFn construct = (ConstructFn)resolve(MSVC_CONSTRUCT);
  AssignFn copy = (AssignFn)resolve(MSVC_COPY);
  AssignFn move = (AssignFn)resolve(MSVC_MOVE);
  if (construct == NULL || copy == NULL || move == NULL) return;
  check(construct(object) == object, "the MSVC constructor returns the object");
  check(copy(object, other) == object, "copy assignment returns the object");
  check(move(object, other) == object, "move assignment returns the object");
}

static void exportsResolve(void) {
  rfOpen = (PelvaneRfOpenFn)resolve("RF_OPEN");
  rfClose = (PelvaneRfCloseFn)resolve("RF_CLOSE");
  rfCommand = (PelvaneRfCommandFn)resolve("RF_COMMAND");
  rwOpen = (PelvaneRwPortFn)resolve("RW_Open");
  rwClose = (PelvaneRwPortFn)resolve("RW_Close");
  rwActivate = (PelvaneRwActivateFn)resolve("RW_Activate");
  rwDeactivate = (PelvaneRwDeactivateFn)resolve("RW_Deactivate");
  rwEject = (PelvaneRwKindFn)resolve("RW_Eject");
  rwInsert = (PelvaneRwKindFn)resolve("RW_Insert");
  rwSense = (PelvaneRwSenseFn)resolve("RW_Sense");
  rwTransmit = (PelvaneRwTransmitFn)resolve("RW_Transmit");
  setTraceSink = (PelvaneSetTraceSinkFn)resolve("PV_SetTraceSink");
  setPortDevice = (PelvaneSetPortDeviceFn)resolve("PV_SetPortDevice");
  setLineSpeed = (PelvaneSetLineSpeedFn)resolve("PV_SetLineSpeed");
#ifdef _WIN64
  check(GetProcAddress(library, "_DllMain@12") == NULL, "the 64-bit DLL does not export _DllMain@12");
#else
  resolve("_DllMain@12");
#endif
  resolve("_ZN8CPelvaneC1Ev");
  resolve("_ZN8CPelvaneaSERKS_");
  resolve("_ZN8CPelvaneaSEOS_");
  check(GetProcAddress(library, "commandProc") == NULL, "internal functions are not exported");
}

/* ---- the pause: the port's high-resolution timer, or timeBeginPeriod(1) while it is open ---- */

enum { kHighResolutionTimer = 0x00000002 }; /* CREATE_WAITABLE_TIMER_HIGH_RESOLUTION */

/* What the DLL finds when it looks CreateWaitableTimerExW up: the function (Windows 10
 * 1803 and later), the function refusing the high-resolution flag (Vista to 1709), or
 * no such function (XP). */
enum TimerSystem { kTimerPresent, kTimerRefusesFlag, kTimerAbsent };

typedef HANDLE(WINAPI* CreateTimerFn)(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);
typedef FARPROC(WINAPI* GetProcFn)(HMODULE, LPCSTR);
typedef BOOL(WINAPI* SetTimerFn)(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, BOOL);
typedef BOOL(WINAPI* CounterFn)(LARGE_INTEGER*);
typedef MMRESULT(WINAPI* PeriodFn)(UINT);
static CreateTimerFn realCreateTimer;
static GetProcFn realGetProc;
static SetTimerFn realSetTimer;
static CounterFn realCounter;
static PeriodFn realBeginPeriod;
static PeriodFn realEndPeriod;
static enum TimerSystem timerSystem = kTimerPresent;
static int failSetTimer;
static long timerLookups;
static long preciseTimers;
static long periodsBegun;
static long periodsEnded;
static LONGLONG counterShift; /* added to every performance counter reading of the DLL */

/* Status call number `errorAt` reports a framing error; reads of the COM port that
 * deliver no byte are counted. */
typedef BOOL(WINAPI* StatusFn)(HANDLE, LPDWORD, LPCOMSTAT);
typedef BOOL(WINAPI* ReadFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
static StatusFn realStatus;
static ReadFn realRead;
static long errorAt;
static long statusCalls;
static long emptyReads;
static BOOL WINAPI injectStatus(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  const BOOL ok = realStatus(h, errors, stat);
  if (ok && errorAt != 0 && ++statusCalls == errorAt && errors != NULL) *errors |= CE_FRAME;
  return ok;
}
static BOOL WINAPI countRead(HANDLE h, LPVOID data, DWORD size, LPDWORD got, LPOVERLAPPED ov) {
  const BOOL ok = realRead(h, data, size, got, ov);
  if (ok && ov == NULL && got != NULL && *got == 0) ++emptyReads;
  return ok;
}

static HANDLE WINAPI countCreateTimer(LPSECURITY_ATTRIBUTES sa, LPCWSTR name, DWORD flags,
                                      DWORD access) {
  if ((flags & kHighResolutionTimer) && timerSystem == kTimerRefusesFlag) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  if (flags & kHighResolutionTimer) ++preciseTimers;
  return realCreateTimer(sa, name, flags, access);
}
static FARPROC WINAPI lookUp(HMODULE module, LPCSTR name) {
  if (((ULONG_PTR)name >> 16) != 0 && strcmp(name, "CreateWaitableTimerExW") == 0) {
    ++timerLookups;
    if (timerSystem == kTimerAbsent) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return NULL;
    }
    return (FARPROC)(void (*)(void))countCreateTimer;
  }
  return realGetProc(module, name);
}
static BOOL WINAPI setTimer(HANDLE timer, const LARGE_INTEGER* due, LONG period,
                            PTIMERAPCROUTINE routine, LPVOID argument, BOOL resume) {
  if (failSetTimer) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return realSetTimer(timer, due, period, routine, argument, resume);
}
static BOOL WINAPI shiftedCounter(LARGE_INTEGER* count) {
  const BOOL ok = realCounter(count);
  count->QuadPart += counterShift;
  return ok;
}
static MMRESULT WINAPI countBeginPeriod(UINT ms) { return ++periodsBegun, realBeginPeriod(ms); }
static MMRESULT WINAPI countEndPeriod(UINT ms) { return ++periodsEnded, realEndPeriod(ms); }

/* Points the DLL's import of `name` from `dll` at `hook`; returns what it held. */
static void* hookImport(HMODULE module, const char* dll, const char* name, void* hook) {
  BYTE* base = (BYTE*)module;
  const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
  const DWORD table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  const IMAGE_IMPORT_DESCRIPTOR* d = (const IMAGE_IMPORT_DESCRIPTOR*)(base + table);
  for (; table != 0 && d->Name != 0; ++d) {
    if (_stricmp((const char*)(base + d->Name), dll) != 0) continue;
    const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
    IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME* entry = (const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
      if (strcmp((const char*)entry->Name, name) != 0) continue;
      void* held = (void*)slots->u1.Function;
      DWORD protection;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
      slots->u1.Function = (ULONG_PTR)hook;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
      return held;
    }
  }
  return NULL;
}

/* CreateWaitableTimerExW is looked up at run time, so the DLL loads on systems
 * without it; the hooks count the timers, the raised resolutions and the lookups,
 * and shift the DLL's clock. */
static void hookTimers(void) {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  realCreateTimer = (CreateTimerFn)(void (*)(void))GetProcAddress(kernel, "CreateWaitableTimerExW");
  check(hookImport(library, "kernel32.dll", "CreateWaitableTimerExW", (void*)countCreateTimer) == NULL,
        "CreateWaitableTimerExW is not in the DLL's import table");
  realGetProc = (GetProcFn)hookImport(library, "kernel32.dll", "GetProcAddress", (void*)lookUp);
  realSetTimer = (SetTimerFn)hookImport(library, "kernel32.dll", "SetWaitableTimer", (void*)setTimer);
  realCounter = (CounterFn)hookImport(library, "kernel32.dll", "QueryPerformanceCounter",
                                      (void*)shiftedCounter);
  realBeginPeriod = (PeriodFn)hookImport(library, "winmm.dll", "timeBeginPeriod", (void*)countBeginPeriod);
  realEndPeriod = (PeriodFn)hookImport(library, "winmm.dll", "timeEndPeriod", (void*)countEndPeriod);
  realStatus = (StatusFn)hookImport(library, "kernel32.dll", "ClearCommError", (void*)injectStatus);
  realRead = (ReadFn)hookImport(library, "kernel32.dll", "ReadFile", (void*)countRead);
  check(realStatus != NULL && realRead != NULL, "the DLL imports ClearCommError and ReadFile");
  check(realCreateTimer != NULL && realGetProc != NULL && realSetTimer != NULL && realCounter != NULL &&
            realBeginPeriod != NULL && realEndPeriod != NULL,
        "the DLL imports GetProcAddress, SetWaitableTimer, QueryPerformanceCounter, timeBeginPeriod "
        "and timeEndPeriod");
}

static long heldPeriods(void) { return periodsBegun - periodsEnded; }

/* Each open port makes one high-resolution timer when it opens and pauses on it;
 * where the system has none, the port holds a raised resolution until it closes. */
static void timerBranch(void) {
  static const enum TimerSystem fallbacks[] = {kTimerRefusesFlag, kTimerAbsent};
  static const enum TimerSystem present[] = {kTimerPresent};
  const enum TimerSystem* systems = refuseHighResolution ? fallbacks : present;
  const int count = refuseHighResolution ? 2 : 1;
  for (int i = 0; i < count; ++i) {
    int32_t opened = 0;
    const int fallback = systems[i] != kTimerPresent;
    const long timersBefore = preciseTimers;
    const long lookupsBefore = timerLookups;
    char label[128];
    timerSystem = systems[i];
    snprintf(label, sizeof label, "RF_OPEN, pauses with %s",
             !fallback ? "a high-resolution timer"
                       : (i == 0 ? "the flag refused" : "no CreateWaitableTimerExW"));
    checkEqual(rfOpen(kReader, &opened), PELVANE_RESULT_DONE, label);
    expectCommand("select FeliCa for the pause checks", kReader, "07 10 10 0A 00 00 00", 0, "05 10 00 32");
    checkEqual(heldPeriods(), fallback, "raised resolution held while the port is open (fallback only)");
    expectCommand("select Type B (a 10 ms pause)", kReader, "07 10 60 0A 00 00 00", 0, "05 10 00 32");
    expectCommand("poll Type B (pauses between attempts)", kReader, "03 20 00", 0, "11 20 00 50");
    check(timerLookups > lookupsBefore, "CreateWaitableTimerExW looked up when the port opens");
    checkEqual(preciseTimers - timersBefore, fallback ? 0 : 1, "one timer per opened port, not per pause");
    checkEqual(rfClose(kReader), PELVANE_CLOSE_DONE, "RF_CLOSE for the pause checks");
    checkEqual(heldPeriods(), 0, "raised resolution released when the port closes");
  }

  /* A timer that fails later: that port falls back and raises the resolution, which
   * only its own close gives back, whatever other ports do meanwhile. */
  if (!refuseHighResolution) {
    int32_t opened = 0;
    checkEqual(rfOpen(kReader, &opened), PELVANE_RESULT_DONE, "RF_OPEN before its timer fails");
    checkEqual(rfOpen(kScanned, &opened), PELVANE_RESULT_DONE, "RF_OPEN of a second port");
    failSetTimer = 1;
    expectCommand("a pause whose timer fails", kReader, "07 10 60 0A 00 00 00", 0, "05 10 00 32");
    failSetTimer = 0;
    checkEqual(heldPeriods(), 1, "the port whose timer failed raised the resolution");
    expectCommand("pauses go on after the failure", kReader, "03 20 00", 0, "11 20 00 50");
    checkEqual(rfClose(kScanned), PELVANE_CLOSE_DONE, "RF_CLOSE of the other port");
    checkEqual(heldPeriods(), 1, "another port's close leaves the raised resolution alone");
    checkEqual(rfClose(kReader), PELVANE_CLOSE_DONE, "RF_CLOSE of the port whose timer failed");
    checkEqual(heldPeriods(), 0, "its own close gives the raised resolution back");
  }
  timerSystem = refuseHighResolution ? kTimerRefusesFlag : kTimerPresent;
}

/* ---- the deadline clock across its wraps ---- */

static double nowMs(void);

/* The DLL's clock (performance counter milliseconds, 32 bits) as it reads now. */
static unsigned long long dllClockMs(void) {
  LARGE_INTEGER count, frequency;
  QueryPerformanceFrequency(&frequency);
  shiftedCounter(&count);
  const unsigned long long c = (unsigned long long)count.QuadPart;
  const unsigned long long f = (unsigned long long)frequency.QuadPart;
  return (c / f * 1000 + c % f * 1000 / f) & 0xFFFFFFFFull;
}

/* Moves the DLL's clock forward until it reads `ms` (mod 2^32). */
static void setDllClock(unsigned long long ms) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const unsigned long long ahead = (ms - dllClockMs()) & 0xFFFFFFFFull;
  counterShift += (LONGLONG)(ahead * (unsigned long long)frequency.QuadPart / 1000);
}

/* Opening a line with no reader waits out two 1.0 s time-outs (one at each line
 * speed). Started 0.5 s before the signed wrap (~24.8 days of uptime) and before the
 * unsigned one (~49.7 days), it still lasts 2.0 s: neither failing at once nor hanging. */
static void clockWraps(void) {
  static const unsigned long long wraps[] = {0x80000000ull, 0x100000000ull};
  for (int i = 0; i < 2; ++i) {
    int32_t opened = -77;
    char label[128];
    setDllClock(wraps[i] - 500);
    const double t0 = nowMs();
    const unsigned result = rfOpen(kSilent, &opened);
    const double elapsed = nowMs() - t0;
    snprintf(label, sizeof label, "RF_OPEN of a line with no reader, clock 0.5 s before the %s wrap",
             i == 0 ? "signed" : "unsigned");
    checkEqual(result, PELVANE_RESULT_FAILED, label);
    snprintf(label, sizeof label, "two 1.0 s time-outs across the %s wrap took %.0f ms",
             i == 0 ? "signed" : "unsigned", elapsed);
    check(elapsed >= 1990.0 && elapsed < 6000.0, label);
  }
}

/* A line error reaches the read whether the byte reader's own status call or one
 * made in its pause reports it (two neighbouring calls: one falls in a pause); on a
 * line with no reader that read ends on the port's read time-out without a byte. */
static void lineErrorInPause(void) {
  for (long at = 10; at <= 11; ++at) {
    int32_t opened = -77;
    char label[128];
    errorAt = at;
    statusCalls = 0;
    emptyReads = 0;
    checkEqual(rfOpen(kSilent, &opened), PELVANE_RESULT_FAILED, "RF_OPEN of a line with no reader");
    errorAt = 0;
    snprintf(label, sizeof label, "a line error on status call %ld went to one read", at);
    checkEqual(emptyReads, 1, label);
  }
}

/* Port numbers, open and close rules, an unlisted command, the trace. */
static void rfBasics(void) {
  int32_t opened = -77;
  expectCommand("command on a port not open", kReader, "03 F1 00", 2, "03 F1 FF");
  checkEqual(rfOpen(0, &opened), PELVANE_RESULT_REFUSED, "RF_OPEN port 0");
  checkEqual(rfOpen(257, &opened), PELVANE_RESULT_REFUSED, "RF_OPEN port 257");
  checkEqual(opened, -77, "a refused open writes no port number");

  checkEqual(rfOpen(kReader, &opened), PELVANE_RESULT_DONE, "RF_OPEN of the reader at 115200");
  checkEqual(opened, kReader, "opened port number");
  checkEqual(rfOpen(kReader, &opened), PELVANE_RESULT_FAILED, "RF_OPEN of an open port");
  expectCommand("line speed after opening", kReader, "02 F0", 0, "04 F0 00 04");
  expectCommand("unlisted command byte", kReader, "03 42 00", 2, "03 42 FC");
  expectCommand("all 32 bits of the port count", 0x10000 + kReader, "03 F1 00", 2, "03 F1 FF");

  setTraceSink(onTrace);
  expectCommand("traced command", kReader, "02 F0", 0, "04 F0 00 04");
  checkEqual(traceCount, 2, "two trace lines per command");
  check(strcmp(lastTrace, "APP Return 04F00004\n") == 0, "the APP Return trace line");
  setTraceSink(NULL);
  expectCommand("untraced command", kReader, "02 F0", 0, "04 F0 00 04");
  checkEqual(traceCount, 2, "no lines after the sink is removed");
}

/* Each mode selected, each kind of card polled on COM3. */
static void rfModes(void) {
  expectCommand("select FeliCa", kReader, "07 10 10 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("poll FeliCa", kReader, "05 20 FF FF 00", 0, "0B 20 00 01 2E 4C 10");
  expectCommand("select FeliCa Lite", kReader, "07 10 11 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("poll FeliCa Lite", kReader, "05 20 88 B4 00", 0, "0B 20 00 01 2E 5C 10");
  expectCommand("FeliCa poll of a wrong length", kReader, "06 20 88 B4 00 00", 2, "03 20 FD");
  expectCommand("select 7-byte UID", kReader, "07 10 31 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("poll 7-byte UID", kReader, "02 20", 0, "0A 20 00 04 01 5A 6B 7C 8D 9E");
  expectCommand("select Type B", kReader, "07 10 60 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("poll Type B", kReader, "03 20 00", 0, "11 20 00 50 1B 01 2C 3D");
  expectCommand("select peer initiator", kReader, "07 10 50 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("poll in peer mode", kReader, "02 20", 1, "03 20 FF");
  expectCommand("select target", kReader, "07 10 51 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("mode code not listed", kReader, "07 10 20 0A 00 00 00", 2, "03 10 FC");
  expectCommand("time-out byte 0", kReader, "07 10 10 00 00 00 00", 2, "03 10 FC");
  checkEqual(rfClose(kReader), PELVANE_CLOSE_DONE, "RF_CLOSE in target mode");
  checkEqual(rfClose(kReader), PELVANE_CLOSE_NOT_OPEN, "RF_CLOSE twice");
}

/* A reader left at 9600, a line without a reader, discovery by friendly name. */
static void rfOpening(int high) {
  int32_t opened = -77;
  checkEqual(rfOpen(kSlowReader, &opened), PELVANE_RESULT_DONE, "RF_OPEN of a reader at 9600");
  expectCommand("line speed after the switch", kSlowReader, "02 F0", 0, "04 F0 00 04");
  expectCommand("MIFARE mode after the switch", kSlowReader, "07 10 30 0A 00 00 00", 0, "05 10 00 32");
  checkEqual(rfClose(kSlowReader), PELVANE_CLOSE_DONE, "RF_CLOSE of the switched reader");
  checkEqual(rfOpen(kSlowReader, &opened), PELVANE_RESULT_DONE, "reopening the switched reader");
  checkEqual(rfClose(kSlowReader), PELVANE_CLOSE_DONE, "RF_CLOSE after reopening");

  /* A faster line: the switch after the bring-up, and back to 115200 at closing. */
  checkEqual(setLineSpeed(kSlowReader, 921600), PELVANE_EXT_DONE, "PV_SetLineSpeed 921600");
  checkEqual(setLineSpeed(kSlowReader, 57600), PELVANE_EXT_REFUSED, "PV_SetLineSpeed 57600");
  checkEqual(rfOpen(kSlowReader, &opened), PELVANE_RESULT_DONE, "RF_OPEN with a faster line");
  expectCommand("line speed on the faster line", kSlowReader, "02 F0", 0, "04 F0 00 07");
  expectCommand("MIFARE mode on the faster line", kSlowReader, "07 10 30 0A 00 00 00", 0, "05 10 00 32");
  checkEqual(rfClose(kSlowReader), PELVANE_CLOSE_DONE, "RF_CLOSE of the faster line");
  checkEqual(setLineSpeed(kSlowReader, 0), PELVANE_EXT_DONE, "PV_SetLineSpeed cleared");
  checkEqual(rfOpen(kSlowReader, &opened), PELVANE_RESULT_DONE, "RF_OPEN after the faster line closed");
  expectCommand("line speed back at 115200", kSlowReader, "02 F0", 0, "04 F0 00 04");
  checkEqual(rfClose(kSlowReader), PELVANE_CLOSE_DONE, "RF_CLOSE at 115200");

  opened = -77;
  checkEqual(rfOpen(kSilent, &opened), PELVANE_RESULT_FAILED, "RF_OPEN of a line with no reader");
  expectCommand("slot closed after the failed open", kSilent, "03 F1 00", 2, "03 F1 FF");
  checkEqual(rfClose(kSilent), PELVANE_CLOSE_NOT_OPEN, "RF_CLOSE after the failed open");

  opened = -77;
  checkEqual(rfOpen(-1, &opened), PELVANE_RESULT_DONE, "scan with port -1");
  checkEqual(opened, kScanned, "the scan opens the discovered CP210x port");
  expectCommand("poll MIFARE on the scanned port", kScanned, "02 20", 0, "07 20 00 0A 01 3C 4D");
  checkEqual(rfOpen(0xFFFF, &opened), PELVANE_RESULT_FAILED,
             "second scan: the Prolific port has no device");
  checkEqual(rfClose(kScanned), PELVANE_CLOSE_DONE, "RF_CLOSE in ReaderMode 3");
  checkEqual(rfClose(kScanned), PELVANE_CLOSE_NOT_OPEN, "RF_CLOSE twice in ReaderMode 3");

  /* Any device path can stand behind a port number. */
  checkEqual(setPortDevice(9, "\\\\.\\COM3"), PELVANE_EXT_DONE, "PV_SetPortDevice");
  checkEqual(rfOpen(9, &opened), PELVANE_RESULT_DONE, "RF_OPEN through a device override");
  expectCommand("command through the override", 9, "02 F0", 0, "04 F0 00 04");
  checkEqual(rfClose(9), PELVANE_CLOSE_DONE, "RF_CLOSE through the override");
  checkEqual(setPortDevice(9, NULL), PELVANE_EXT_DONE, "PV_SetPortDevice reset");
  checkEqual(setPortDevice(257, "x"), PELVANE_EXT_REFUSED, "PV_SetPortDevice port 257");
  /* The longest path taken is the longest the opening buffer holds: MAX_PATH less one. */
  static char longPath[261];
  memset(longPath, 'x', 260);
  checkEqual(setPortDevice(9, longPath), PELVANE_EXT_REFUSED, "PV_SetPortDevice of 260 characters");
  longPath[259] = '\0';
  checkEqual(setPortDevice(9, longPath), PELVANE_EXT_DONE, "PV_SetPortDevice of 259 characters");
  checkEqual(setPortDevice(9, NULL), PELVANE_EXT_DONE, "PV_SetPortDevice reset after the long path");

  if (high) {
    checkEqual(rfOpen(kHigh, &opened), PELVANE_RESULT_DONE, "RF_OPEN of COM256");
    expectCommand("command on COM256", kHigh, "02 F0", 0, "04 F0 00 04");
    checkEqual(rfClose(kHigh), PELVANE_CLOSE_DONE, "RF_CLOSE of COM256");
  }
}

static unsigned char answer[PELVANE_APDU_RESPONSE_MAX];

/* The card's READ BINARY data: byte i of the file is i * 7 + 3. */
static int readBinaryAnswerOk(int32_t length, int32_t dataCount) {
  if (length != dataCount + 2) return 0;
  for (int32_t i = 0; i < dataCount; ++i) {
    if (answer[i] != (unsigned char)(i * 7 + 3)) return 0;
  }
  return answer[dataCount] == 0x90 && answer[dataCount + 1] == 0x00;
}

static void rwSession(void) {
  int32_t status = -77;
  int32_t length = -77;
  static const unsigned char select[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
  static const unsigned char read5[] = {0x00, 0xB0, 0x00, 0x00, 0x05};
  static const unsigned char read256[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
  static const unsigned char read260[] = {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x04};
  static const unsigned char read600[] = {0x00, 0xB0, 0x00, 0x00, 0x00, 0x02, 0x58};
  static unsigned char tooLong[300];

  checkEqual(rwOpen(kReader), PELVANE_RW_OK, "RW_Open");
  checkEqual(rwOpen(kReader), PELVANE_RW_ALREADY_OPEN, "RW_Open twice");
  rwSense(kReader, 0, &status, 0);
  checkEqual(status, PELVANE_CARD_NONE, "status after RW_Open");
  checkEqual(rwActivate(kReader, 3, 0, 0, 0), PELVANE_RW_BAD_KIND, "RW_Activate kind 3");
  checkEqual(rwActivate(kReader, 1, 0, 0x10, 0), PELVANE_RW_OPTION_UNSUPPORTED,
             "RW_Activate option 0x10");
  checkEqual(rwActivate(kReader, 1, 0, 0, 0), PELVANE_RW_OK, "RW_Activate");
  rwSense(kReader, 0, &status, 0);
  checkEqual(status, PELVANE_CARD_ACTIVATED, "status after RW_Activate");

  checkEqual(rwTransmit(kReader, 0, 0, 5, select, &length, answer), PELVANE_RW_OK, "SELECT");
  check(length == 2 && answer[0] == 0x90 && answer[1] == 0x00, "SELECT answers 90 00");
  checkEqual(rwTransmit(kReader, 0, 0, 5, read5, &length, answer), PELVANE_RW_OK, "READ BINARY 5");
  check(readBinaryAnswerOk(length, 5), "READ BINARY 5 data");
  checkEqual(rwTransmit(kReader, 0, 0, 5, read256, &length, answer), PELVANE_RW_OK,
             "READ BINARY 256 (long form)");
  check(readBinaryAnswerOk(length, 256), "READ BINARY 256 data");
  checkEqual(rwTransmit(kReader, 0, 0, 7, read260, &length, answer), PELVANE_RW_OK,
             "READ BINARY 260 (the longest answer the controller passes whole)");
  check(readBinaryAnswerOk(length, 260), "READ BINARY 260 data");
  /* The controller passes 262 answer bytes at a time and flags the rest as chained. */
  checkEqual(rwTransmit(kReader, 0, 0, 7, read600, &length, answer), PELVANE_RW_TRANSMIT_FAILED,
             "READ BINARY 600 arrives chained and fails");
  length = -77;
  checkEqual(rwTransmit(kReader, 0, 0, 254, tooLong, &length, answer), PELVANE_RW_TRANSMIT_FAILED,
             "an APDU of 254 bytes is refused");
  checkEqual(length, -77, "nothing written for a refused APDU");

  checkEqual(rwDeactivate(kReader, 0, 0), PELVANE_RW_OK, "RW_Deactivate");
  rwSense(kReader, 0, &status, 0);
  checkEqual(status, PELVANE_CARD_NONE, "status after RW_Deactivate");
  checkEqual(rwInsert(kReader, 0), PELVANE_RW_OK, "RW_Insert");
  rwSense(kReader, 0, &status, 0);
  checkEqual(status, PELVANE_CARD_INSERTED, "status after RW_Insert");
  checkEqual(rwEject(kReader, 1), PELVANE_RW_OK, "RW_Eject");
  checkEqual(rwClose(kReader), PELVANE_RW_OK, "RW_Close");
  checkEqual(rfClose(kReader), PELVANE_CLOSE_NOT_OPEN, "closed by RW_Close");
  checkEqual(rwTransmit(kReader, 0, 0, 5, select, &length, answer), PELVANE_RW_TRANSMIT_FAILED,
             "RW_Transmit after closing");
}

static double nowMs(void) {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return (double)count.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

/* Mean times of calls over the pseudo-terminal; every timed call is counted as a
   check, since a failed call would make its figure meaningless. */
static void figures(void) {
  enum { kRounds = 20 };
  static const unsigned char select[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
  static const unsigned char read256[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
  static const unsigned char pollFelica[] = {0x05, 0x20, 0xFF, 0xFF, 0x00};
  static const unsigned char selectFelica[] = {0x07, 0x10, 0x10, 0x0A, 0x00, 0x00, 0x00};
  int32_t opened = 0;
  int32_t length = 0;
  double t0, open, apdu, longApdu, poll;
  int callsFailed = 0;

  t0 = nowMs();
  callsFailed += rwOpen(kReader) != PELVANE_RW_OK;
  open = nowMs() - t0;
  callsFailed += rwActivate(kReader, 1, 0, 0, 0) != PELVANE_RW_OK;
  t0 = nowMs();
  for (int i = 0; i < kRounds; ++i) callsFailed += rwTransmit(kReader, 0, 0, 5, select, &length, answer) != 0;
  apdu = (nowMs() - t0) / kRounds;
  t0 = nowMs();
  for (int i = 0; i < kRounds; ++i) callsFailed += rwTransmit(kReader, 0, 0, 5, read256, &length, answer) != 0;
  longApdu = (nowMs() - t0) / kRounds;
  callsFailed += rfCommand(kReader, selectFelica, response) != 0;
  t0 = nowMs();
  for (int i = 0; i < kRounds; ++i) callsFailed += rfCommand(kReader, pollFelica, response) != 0;
  poll = (nowMs() - t0) / kRounds;
  rfClose(kReader);
  (void)opened;
  printf("figures: RW_Open %.1f ms; RW_Transmit SELECT %.2f ms, READ BINARY 256 %.2f ms; "
         "FeliCa poll %.2f ms (mean of %d, 115200 baud pseudo-terminal)\n",
         open, apdu, longApdu, poll, kRounds);
  checkEqual(callsFailed, 0, "timed calls that failed");
}

static int byValue(const void* a, const void* b) {
  return (*(const double*)a > *(const double*)b) - (*(const double*)a < *(const double*)b);
}

/* The time of a FeliCa poll (the benchmark's poll_felica) on COM6 at 115200 and 921600 baud. */
static void pollFigures(const char* line) {
  enum { kPolls = 50 };
  static const unsigned char selectFelica[] = {0x07, 0x10, 0x10, 0x0A, 0x00, 0x00, 0x00};
  static const unsigned char pollFelica[] = {0x05, 0x20, 0xFF, 0xFF, 0x00};
  static const int32_t speeds[] = {0, 921600};
  double mean[2], median[2], times[kPolls];
  int callsFailed = 0;
  for (int i = 0; i < 2; ++i) {
    int32_t opened = 0;
    callsFailed += setLineSpeed(kTimed, speeds[i]) != PELVANE_EXT_DONE;
    callsFailed += rfOpen(kTimed, &opened) != PELVANE_RESULT_DONE;
    callsFailed += rfCommand(kTimed, selectFelica, response) != 0;
    mean[i] = 0;
    for (int n = 0; n < kPolls; ++n) {
      const double t0 = nowMs();
      callsFailed += rfCommand(kTimed, pollFelica, response) != 0;
      times[n] = nowMs() - t0;
      mean[i] += times[n] / kPolls;
    }
    qsort(times, kPolls, sizeof times[0], byValue);  /* the median: a busy machine makes the mean jump */
    median[i] = (times[kPolls / 2 - 1] + times[kPolls / 2]) / 2;
    callsFailed += rfClose(kTimed) != PELVANE_CLOSE_DONE;
  }
  setLineSpeed(kTimed, 0);
  printf("figures: FeliCa poll on %s, median (mean) of %d: %.2f (%.2f) ms at 115200 baud, "
         "%.2f (%.2f) ms at 921600 baud\n",
         line, kPolls, median[0], mean[0], median[1], mean[1]);
  checkEqual(callsFailed, 0, "timed poll calls that failed");
}

/* The readers on named pipes: the documented calls, the speed switch of
 * opening, a poll that finds the field empty, the Type B session. */
static void pipeReaders(const char* prefix) {
  char path[200];
  int32_t opened = -77;
  const int ports[] = {kReader, kSlowReader, kSilent, kTimed};
  for (int i = 0; i < 4; ++i) {
    snprintf(path, sizeof path, "%s%d", prefix, ports[i]);
    checkEqual(setPortDevice(ports[i], path), PELVANE_EXT_DONE, "PV_SetPortDevice to a pipe");
  }
  rfBasics();
  rfModes();
  checkEqual(rfOpen(kSlowReader, &opened), PELVANE_RESULT_DONE, "RF_OPEN of a pipe reader at 9600");
  expectCommand("line speed after the switch", kSlowReader, "02 F0", 0, "04 F0 00 04");
  expectCommand("MIFARE mode after the switch", kSlowReader, "07 10 30 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("poll MIFARE after the switch", kSlowReader, "02 20", 0, "07 20 00 0A 01 3C 4D");
  checkEqual(rfClose(kSlowReader), PELVANE_CLOSE_DONE, "RF_CLOSE of the switched pipe reader");
  checkEqual(rfOpen(kSlowReader, &opened), PELVANE_RESULT_DONE, "reopening the switched pipe reader");
  expectCommand("FeliCa mode after reopening", kSlowReader, "07 10 10 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("poll FeliCa after reopening", kSlowReader, "05 20 FF FF 00", 0, "0B 20 00 01 2E 4C 10");
  checkEqual(rfClose(kSlowReader), PELVANE_CLOSE_DONE, "RF_CLOSE after reopening");

  checkEqual(rfOpen(kSilent, &opened), PELVANE_RESULT_DONE, "RF_OPEN of the reader with no card");
  expectCommand("select FeliCa, field empty", kSilent, "07 10 10 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("poll FeliCa, no card", kSilent, "05 20 FF FF 00", 0, "03 20 FE");
  expectCommand("select Type B, field empty", kSilent, "07 10 60 0A 00 00 00", 0, "05 10 00 32");
  expectCommand("poll Type B, no card", kSilent, "03 20 00", 0, "03 20 FE");
  checkEqual(rfClose(kSilent), PELVANE_CLOSE_DONE, "RF_CLOSE of the reader with no card");
  rwSession();
  pollFigures("an unpaced named pipe");
}

int main(int argc, char** argv) {
  int high = 0;
  const char* pipes = NULL;
  if (argc < 2) {
    printf("usage: host.exe <pelvane.dll> [--high] [--timer-fallback]\n");
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--high") == 0) high = 1;
    if (strcmp(argv[i], "--timer-fallback") == 0) refuseHighResolution = 1;
    if (strcmp(argv[i], "--pipes") == 0 && i + 1 < argc) pipes = argv[++i];
  }
  library = LoadLibraryA(argv[1]);
  if (library == NULL) {
    printf("FAILED: LoadLibraryA(%s): error %lu\n0 passed, 1 failed\n", argv[1], GetLastError());
    return 1;
  }
  exportsResolve();
  classMembers();
  hookTimers();
  if (failed == 0 && pipes != NULL) {
    pipeReaders(pipes);
  } else if (failed == 0) {
    /* The whole run crosses the signed wrap of the DLL's clock early on. */
    setDllClock(0x80000000ull - 3000);
    timerBranch();
    rfBasics();
    rfModes();
    rfOpening(high);
    rwSession();
    figures();
    pollFigures("a paced pseudo-terminal");
    lineErrorInPause();
    clockWraps();
    checkEqual(heldPeriods(), 0,
               "every raised resolution given back once the ports are closed");
    printf("pauses: %ld high-resolution timers, timeBeginPeriod %ld / timeEndPeriod %ld\n",
           preciseTimers, periodsBegun, periodsEnded);
  }
  FreeLibrary(library);
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
