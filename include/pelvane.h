/*
 * Pelvane: driver library for a contactless card reader behind a USB-to-serial
 * COM port. C and C++ callers; on Windows every function is __stdcall.
 *
 * RF_ interface:  RF_OPEN once per reader, any number of RF_COMMAND, RF_CLOSE.
 * RW_ interface:  RW_Open, RW_Activate (or RW_Insert), RW_Transmit ...,
 *                 RW_Deactivate (or RW_Eject), RW_Close. RW_Sense at any time.
 * Both interfaces work on the same port slots: a port opened with one can be
 * used and closed with the other.
 *
 * Port numbers are COM port numbers, 1 to 256 (the RW_ functions reach 1 to 255).
 * Calls for one port must not overlap; calls for different ports may.
 */
#ifndef PELVANE_H
#define PELVANE_H

#include <stdint.h>

#if defined(_WIN32)
#define PELVANE_CALL __stdcall
#else
#define PELVANE_CALL
#endif

/* PELVANE_STATIC: linked into the program (in-tree tests and tools).
 * PELVANE_BUILDING: compiling the shared library itself; on Windows its exports
 * come from the export definition file, on Linux from default visibility. */
#if defined(PELVANE_STATIC)
#define PELVANE_API
#elif defined(_WIN32)
#if defined(PELVANE_BUILDING)
#define PELVANE_API
#else
#define PELVANE_API __declspec(dllimport)
#endif
#else
#define PELVANE_API __attribute__((visibility("default")))
#endif

/* ---- Results of RF_OPEN and RF_COMMAND (16-bit); RF_CLOSE gives 0 or 1 ---- */
#define PELVANE_RESULT_DONE 0u          /* opened; command ran (STATUS may be 0xFE) */
#define PELVANE_RESULT_FAILED 1u        /* open failed / already open; command failed */
#define PELVANE_RESULT_REFUSED 2u       /* port out of range; packet refused; port not open */
#define PELVANE_RESULT_NO_PORT 0xFFFFu  /* RF_OPEN(-1): no free port with a reader found */
#define PELVANE_RESULT_LINK_FAILED 0xFFFFu   /* command 0xF3: write, read or checksum failure */
#define PELVANE_RESULT_LINK_TIMEOUT 0xFFFEu  /* command 0xF3: time-out */
#define PELVANE_CLOSE_DONE 0
#define PELVANE_CLOSE_NOT_OPEN 1

/* Port argument of RF_OPEN that asks for a scan of the discovered bridge ports. */
#define PELVANE_PORT_SCAN (-1)

/* ---- STATUS byte of a response packet (offset 2; offset 4 in the long form) ---- */
#define PELVANE_STATUS_OK 0x00u
#define PELVANE_STATUS_FAILED 0xFFu        /* port not open, link failure, mode not supported */
#define PELVANE_STATUS_TIMEOUT 0xFEu       /* deadline passed, no card answered */
#define PELVANE_STATUS_BAD_LENGTH 0xFDu    /* LEN not accepted by the command */
#define PELVANE_STATUS_BAD_COMMAND 0xFCu   /* command byte not listed, parameter out of range */
#define PELVANE_STATUS_FELICA_ERROR 0xF9u  /* FeliCa status flag 1 not 0 */
/* Any other non-zero STATUS is the controller's own status byte. */

/* ---- Command bytes (offset 1 of a command packet) ---- */
#define PELVANE_CMD_SET_PARAMETERS 0x01u
#define PELVANE_CMD_SELECT_MODE 0x10u
#define PELVANE_CMD_POLL 0x20u
#define PELVANE_CMD_DETECT 0x21u
#define PELVANE_CMD_TYPE_B_REQUEST 0x25u
#define PELVANE_CMD_READ 0x30u
#define PELVANE_CMD_WRITE 0x31u
#define PELVANE_CMD_WRITE_MIFARE 0x32u
#define PELVANE_CMD_WRITE_KEY_OR_PAGE3 0x33u
#define PELVANE_CMD_PEER_ACTIVATE 0x50u
#define PELVANE_CMD_PEER_END 0x51u
#define PELVANE_CMD_TARGET_RECEIVE 0x60u
#define PELVANE_CMD_SEGMENTED_READ 0x70u
#define PELVANE_CMD_SEGMENTED_READ_BLOCK0 0x71u
#define PELVANE_CMD_PASS_THROUGH 0x86u
#define PELVANE_CMD_LINE_SPEED 0xF0u
#define PELVANE_CMD_READ_REGISTERS 0xF1u
#define PELVANE_CMD_WRITE_REGISTERS 0xF2u
#define PELVANE_CMD_RF_CONFIGURATION 0xF3u
#define PELVANE_CMD_REGULATION_TEST 0xF4u
#define PELVANE_CMD_READ_GPIO 0xF5u
#define PELVANE_CMD_WRITE_GPIO 0xF6u

/* ---- Mode codes of command 0x10 (offset 2) and the ReaderMode each selects ---- */
#define PELVANE_MODE_CODE_FELICA 0x10u          /* ReaderMode 1 */
#define PELVANE_MODE_CODE_FELICA_LITE 0x11u     /* ReaderMode 2 */
#define PELVANE_MODE_CODE_MIFARE 0x30u          /* ReaderMode 3 */
#define PELVANE_MODE_CODE_PAGE_CARD 0x31u       /* ReaderMode 4 */
#define PELVANE_MODE_CODE_PEER_INITIATOR 0x50u  /* ReaderMode 7 */
#define PELVANE_MODE_CODE_TARGET 0x51u          /* ReaderMode 8 */
#define PELVANE_MODE_CODE_TYPE_B 0x60u          /* ReaderMode 9 */

#define PELVANE_MODE_NONE 0u
#define PELVANE_MODE_FELICA 1u          /* FeliCa, 212 kbit/s */
#define PELVANE_MODE_FELICA_LITE 2u     /* FeliCa Lite */
#define PELVANE_MODE_MIFARE 3u          /* Type A, 4-byte UID (MIFARE Classic); set by opening */
#define PELVANE_MODE_PAGE_CARD 4u       /* Type A, 7-byte UID (page access) */
#define PELVANE_MODE_PEER_INITIATOR 7u  /* NFC peer-to-peer initiator */
#define PELVANE_MODE_TARGET 8u          /* target mode */
#define PELVANE_MODE_TYPE_B 9u          /* ISO/IEC 14443 Type B */

/* ---- Response packet sizes ---- */
/* A short response: LEN (its own total length, at most 255), CMD, STATUS, data. */
#define PELVANE_SHORT_RESPONSE_MAX 255
/* Long form of command 0x86: FF, length high, length low, CMD, STATUS, data. */
#define PELVANE_LONG_FORM_MARKER 0xFFu
/* Largest 0x86 response (long form) the library produces. */
#define PELVANE_PASS_THROUGH_RESPONSE_MAX 1024
/* Largest response of any command (the segmented peer read of 94 segments).
 * A response buffer of this size suits every command. RF_COMMAND traces the first
 * response[0] bytes of the buffer, so it must always hold at least 255 bytes. */
#define PELVANE_RESPONSE_MAX 22846
/* Longest command packet: LEN is one byte. */
#define PELVANE_COMMAND_MAX 255

/* ---- Results of the RW_ functions (32-bit) ---- */
#define PELVANE_RW_OK 0
#define PELVANE_RW_OPEN_FAILED 0xA002         /* RW_Open: the port could not be opened */
#define PELVANE_RW_NO_CARD 0xA203             /* RW_Open: set-up failed; RW_Activate/RW_Insert: no Type B card */
#define PELVANE_RW_BAD_KIND 0xA301            /* kind is neither 1 nor 2 */
#define PELVANE_RW_BAD_FLAGS 0xA303           /* flags not 0x00, 0x80, 0x01, 0x02, 0x03 */
#define PELVANE_RW_FLAGS_UNSUPPORTED 0xA304   /* flags 0x01, 0x02 or 0x03 */
#define PELVANE_RW_OPTION_UNSUPPORTED 0xA305  /* option 0x10 */
#define PELVANE_RW_BAD_OPTION 0xA306          /* option outside 0, 1, 2 (and not 0x10) */
#define PELVANE_RW_ALREADY_OPEN 0xA901        /* RW_Open: the port is already open */
#define PELVANE_RW_TRANSMIT_FAILED 0xAE02     /* RW_Transmit: exchange failed, short answer, bad length */
/* RW_Deactivate and RW_Eject also pass link codes through: */
#define PELVANE_LINK_FAILED (-1)   /* write, read or checksum failure */
#define PELVANE_LINK_TIMEOUT (-2)  /* deadline passed, or clearing the port failed */

/* CardStatus word reported by RW_Sense. */
#define PELVANE_CARD_NONE 0x0000
#define PELVANE_CARD_DEACTIVATING 0x0800
#define PELVANE_CARD_INSERTED 0x8100
#define PELVANE_CARD_ACTIVATED 0x8200

/* Longest APDU RW_Transmit accepts (the packet's LEN byte is length + 2). */
#define PELVANE_APDU_MAX 253
/* A response buffer of this size holds every answer RW_Transmit can give. */
#define PELVANE_APDU_RESPONSE_MAX 1024

/* ---- Extension results ---- */
#define PELVANE_EXT_DONE 0
#define PELVANE_EXT_REFUSED 2

#ifdef __cplusplus
extern "C" {
#endif

/* Opens a reader. port: only the low 16 bits count; -1 (0xFFFF) scans the
 * discovered bridge ports in ascending order and opens the first free one with a
 * reader. *openedPort receives the port number opened.
 * Result: 0 opened; 1 already open or failed; 2 port outside 1..256; 0xFFFF scan
 * found no free port. */
PELVANE_API uint16_t PELVANE_CALL RF_OPEN(int32_t port, int32_t* openedPort);

/* Closes the open port whose number equals port (all 32 bits compared).
 * Result: 0 closed, 1 no open port with that number. */
PELVANE_API int32_t PELVANE_CALL RF_CLOSE(int32_t port);

/* Sends one command packet (LEN, CMD, parameters) and writes the response packet.
 * On a port that is not open (all 32 bits compared) the response is 03 CMD FF and
 * the result 2. response must hold the largest response of the command sent, and
 * never less than 255 bytes (see PELVANE_RESPONSE_MAX). */
PELVANE_API uint16_t PELVANE_CALL RF_COMMAND(int32_t port, const uint8_t* command,
                                             uint8_t* response);

/* Type B card interface. The port is the low 8 bits of the first argument
 * (1..255; 0 names no port). kind, option and flags count by their low 8 bits. */
PELVANE_API int32_t PELVANE_CALL RW_Open(int32_t port);
PELVANE_API int32_t PELVANE_CALL RW_Close(int32_t port);
PELVANE_API int32_t PELVANE_CALL RW_Activate(int32_t port, int32_t kind, int32_t reserved,
                                             int32_t option, int32_t flags);
PELVANE_API int32_t PELVANE_CALL RW_Deactivate(int32_t port, int32_t reserved1,
                                               int32_t reserved2);
PELVANE_API int32_t PELVANE_CALL RW_Eject(int32_t port, int32_t kind);
PELVANE_API int32_t PELVANE_CALL RW_Insert(int32_t port, int32_t reserved);
PELVANE_API int32_t PELVANE_CALL RW_Sense(int32_t port, int32_t reserved1, int32_t* status,
                                          int32_t reserved2);
/* Sends an APDU of length bytes (1..PELVANE_APDU_MAX) to the activated card.
 * On success *responseLength receives the answer's length and response its bytes
 * (at most PELVANE_APDU_RESPONSE_MAX). 0xAE02 on any failure, including a length
 * outside 0..253; nothing is written then. */
PELVANE_API int32_t PELVANE_CALL RW_Transmit(int32_t port, int32_t reserved1, int32_t reserved2,
                                             int32_t length, const uint8_t* data,
                                             int32_t* responseLength, uint8_t* response);

/* ---- Extensions ---- */

/* Receives every trace line: "commandProc:" + command bytes and "APP Return " +
 * response bytes, in %02X form, each ending in a line feed. Called on the thread
 * that issued the command; the line is valid only during the call. */
typedef void(PELVANE_CALL* PelvaneTraceSink)(const char* line);

/* Installs the trace sink; a null sink restores the default, which discards.
 * May be called at any time from any thread, also while other threads trace; a
 * line traced at that moment may still reach the sink replaced, so it must stay
 * callable. Result: always 0. */
PELVANE_API int32_t PELVANE_CALL PV_SetTraceSink(PelvaneTraceSink sink);

/* Points a port number (1..256) at another device path. On Windows it replaces
 * "\\.\COMn" for that port; on Linux the default is /dev/ttyUSB(n-1). A null or
 * empty path restores the default. Takes effect at the next open. Paths of up
 * to 259 characters (MAX_PATH with its terminator) are taken on every system.
 * Result: 0 done; 2 port outside 1..256 or path longer than 259 characters. */
PELVANE_API int32_t PELVANE_CALL PV_SetPortDevice(int32_t port, const char* path);

/* Asks for a faster serial line: 230400, 460800 or 921600 baud. port 1..256 sets
 * that port's speed; port 0 sets the speed of every port without one of its own.
 * baud 115200 asks for no faster line (for one port, over a process-wide speed);
 * baud 0 clears the setting. Takes effect at the next open of the port; without
 * any call, opening, speeds and timings are as described for RF_OPEN.
 * Opening brings the reader up at 115200 as usual, then switches the controller
 * and the port to the speed and checks the reader answers there; if it does not
 * (a bridge or driver that cannot run that fast), the line goes back to 115200,
 * a trace line says so and the opening still succeeds. Opening first tries the
 * speed itself (about 0.1 s when the reader is at 115200), so a reader left there
 * by a program that ended without closing is found. Closing switches the reader
 * back to 115200, where other programs find it.
 * Result: 0 done; 2 port outside 0..256 or a speed not listed. */
PELVANE_API int32_t PELVANE_CALL PV_SetLineSpeed(int32_t port, int32_t baud);

/* Function pointer types for hosts that resolve the exports at run time
 * (LoadLibraryA/GetProcAddress, dlopen/dlsym). */
typedef uint16_t(PELVANE_CALL* PelvaneRfOpenFn)(int32_t, int32_t*);
typedef int32_t(PELVANE_CALL* PelvaneRfCloseFn)(int32_t);
typedef uint16_t(PELVANE_CALL* PelvaneRfCommandFn)(int32_t, const uint8_t*, uint8_t*);
typedef int32_t(PELVANE_CALL* PelvaneRwPortFn)(int32_t);  /* RW_Open, RW_Close */
typedef int32_t(PELVANE_CALL* PelvaneRwActivateFn)(int32_t, int32_t, int32_t, int32_t, int32_t);
typedef int32_t(PELVANE_CALL* PelvaneRwDeactivateFn)(int32_t, int32_t, int32_t);
typedef int32_t(PELVANE_CALL* PelvaneRwKindFn)(int32_t, int32_t);  /* RW_Eject, RW_Insert */
typedef int32_t(PELVANE_CALL* PelvaneRwSenseFn)(int32_t, int32_t, int32_t*, int32_t);
typedef int32_t(PELVANE_CALL* PelvaneRwTransmitFn)(int32_t, int32_t, int32_t, int32_t,
                                                    const uint8_t*, int32_t*, uint8_t*);
typedef int32_t(PELVANE_CALL* PelvaneSetTraceSinkFn)(PelvaneTraceSink);
typedef int32_t(PELVANE_CALL* PelvaneSetPortDeviceFn)(int32_t, const char*);
typedef int32_t(PELVANE_CALL* PelvaneSetLineSpeedFn)(int32_t, int32_t);

#ifdef __cplusplus
} /* extern "C" */

/* An exported empty class: no data, no base, no virtual functions. Its members
 * do nothing; the library does not use it. */
class PELVANE_API CPelvane {
 public:
  CPelvane();
  CPelvane& operator=(const CPelvane& other);
  CPelvane& operator=(CPelvane&& other);
};
#endif

#endif /* PELVANE_H */
