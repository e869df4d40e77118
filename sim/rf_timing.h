// Air time on the RF side of the simulated controller (pelvane-sim --rf-timing):
// how long each frame between the controller and a card or peer lasts at its bit
// rate with its framing, and how long the card takes before it answers. Times are
// periods of the 13.56 MHz carrier (fc); one function per technology. The command
// handlers add up what each command sends and hears (Controller::State::air), and
// line.cpp holds the answer frame back by the sum.
//
// Left out: the controller's own processing between frames (no figure for it is
// published), the 5 ms a card may need to power up after the field comes on, and
// the ~10 % tolerances of the bit timing. Where a standard gives a range, the
// card answers as early as it allows, unless a card figure says otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rf_frame.h"

namespace pelvsim {
namespace rf {

using Cycles = std::uint64_t;
using Bytes = std::vector<std::uint8_t>;

constexpr Cycles kCarrierHz = 13560000;
// Rounded to the nearest microsecond.
std::uint64_t toUs(Cycles c);
// Item 02 timeouts of RFConfiguration: 0 none, n = 100 us x 2^(n-1) (PN532 user manual, 7.3.1).
Cycles fromTimeoutCode(std::uint8_t code);

// ---- ISO/IEC 14443 Type A at 106 kbit/s (ISO/IEC 14443-2, 8.1; -3, 6.1) ----
// A bit lasts 128/fc; a whole byte is 9 bits (odd parity), a partial last byte
// has no parity. Reader frame: start bit, data, end of communication (2 bit
// periods); card frame: start bit, data, end (1 bit period).
Cycles typeAReaderFrame(const RfFrame& f);
Cycles typeACardFrame(const RfFrame& f);
// From the end of the reader's frame to the card's start bit: the frame delay
// time n = 9 (1236/fc after a last bit 1, 1172/fc after a 0), which counts from
// the reader's last pause, 2 bit periods before its frame ends (ISO/IEC 14443-3,
// 6.2.1.1). MIFARE data sheets give the same figure as TACK min, 71 us.
Cycles typeAFrameDelay(const RfFrame& sent);
// A reader frame, the card's answer `cardTime` after the frame delay time.
Cycles typeAExchange(const RfFrame& sent, const RfFrame& answer, Cycles cardTime = 0);
// Activation of a card: REQA (or WUPA) and ATQA, then per cascade level
// ANTICOLLISION (93/95/97 20) with CLn and BCC, SELECT with its SAK.
Cycles typeAActivation(const Bytes& uid);
// REQA with no answer: the reader hears nothing where the ATQA would have been.
Cycles typeANoAnswer();
// HLTA 50 00: no answer, and the reader waits 1 ms for none (ISO/IEC 14443-3, 6.4.3).
Cycles typeAHalt();

// EEPROM programming before the ACK of a MIFARE write: the data sheets' typical
// transaction times (MF1S50yyX, Fig. 4: read block ~2.5 ms, write block ~5.5 ms,
// with nearly the same air time) put it at 3 ms; the page card is given the same.
constexpr Cycles kEepromWrite = 3 * kCarrierHz / 1000;

// A command to an active MIFARE Classic or page card, as InDataExchange frames it
// (CRC_A added both ways), up to the card's last answer:
//   60/61 blk key(6) uid(4)  three-pass authentication: 60 blk CRC -> token (4),
//                            then 8 bytes -> token (4); `answered` false: no
//                            second token (a wrong key)
//   A0 blk data(16)          WRITE in two parts, each answered by a 4-bit ACK,
//                            the second after the EEPROM programming
//   A2 page data(4)          page WRITE: ACK after the EEPROM programming
//   anything else            the command -> answerBytes (+ CRC); 0: a 4-bit ACK
//                            or NAK; `answered` false: no answer at all
Cycles mifareCommand(const Bytes& d, bool answered, std::size_t answerBytes);

// ---- ISO/IEC 14443 Type B at 106 kbit/s (ISO/IEC 14443-2, 9; -3, 7.1) ----
// A character is 10 etu (start, 8 data, stop; etu = 128/fc), extra guard time 0;
// SOF 10 etu low + 2 high, EOF 10 etu low (the shortest allowed). Sizes include
// the CRC_B. Before its SOF the card waits TR0 (64/fs = 1024/fc) and TR1
// (80/fs = 1280/fc), the minima.
Cycles typeBReaderFrame(std::size_t bytes);
Cycles typeBCardFrame(std::size_t bytes);
// A frame and its answer (sizes without the CRC_B), `cardTime` after TR0 + TR1.
Cycles typeBExchange(std::size_t sent, std::size_t answered, Cycles cardTime = 0);
// The card's frame waiting time from the FWI of its ATQB: 4096/fc x 2^FWI
// (ISO/IEC 14443-4, 7.2; FWI 15 is read as 4, the default).
Cycles typeBFrameWaitingTime(unsigned fwi);
// REQB / WUPB with no answer: the reader waits FWT_ATQB, 7680/fc.
Cycles typeBNoAnswer();
// An APDU through InDataExchange: I-blocks of at most `fsc` bytes to the card
// (each but the last answered by R(ACK)), the card's processing, then the answer
// in I-blocks of at most `fsd` bytes (each after the first asked for by R(ACK)).
// `head` is the block's PCB [CID] and CRC_B. The card answers an I-block that
// ends an APDU at its frame waiting time `processing`: the bound it declares in
// its ATQB, as nothing else tells how long its application takes.
Cycles isoDepApdu(std::size_t apdu, std::size_t answer, std::size_t fsc, std::size_t fsd, std::size_t head,
                  Cycles processing);

// ---- FeliCa at 212 or 424 kbit/s (JIS X 6319-4) ----
// Manchester coded, 64/fc or 32/fc a bit: preamble (6 bytes), sync code (2),
// the length byte and the rest of the frame (`length` bytes in all), CRC (2).
Cycles felicaFrame(std::size_t length, unsigned kbps);
// Polling: the card answers in its time slot; slot 0 begins 512 x 64/fc
// (2.417 ms) after the command, each slot lasts 256 x 64/fc (1.208 ms), as
// nfcpy's tt3.py polling() times its wait (3.625 ms + 1.208 ms a slot).
Cycles felicaPollingSlot(unsigned slot);
// Polling with no answer: the reader waits out all `slots` (TSN + 1) slots.
Cycles felicaPollingNoAnswer(std::size_t requestLength, unsigned slots, unsigned kbps);
// The card's maximum response time for a command from its PMm: T x ((B + 1) x n
// + A + 1) x 4^E with T = 256 x 16/fc, from the PMm byte of the command's kind
// (Request Service 2, n the nodes; Request Response 3, n 1; Search Service Code
// and Request System Code 3, n 0 and no B; authentication 4; Read 5 and Write 6,
// n the blocks; other 7), as nfcpy's tt3.py and tt3_sony.py compute them. The
// card is taken to answer at that time.
Cycles felicaResponseTime(const std::array<std::uint8_t, 8>& pmm, const Bytes& command);

// ---- NFC-DEP (ISO/IEC 18092) ----
// speed 0, 1, 2: 106, 212, 424 kbit/s. `payload` counts from CMD0 (D4/D5) on.
// At 106 kbit/s a Type A frame of start byte F0, LEN, payload and CRC; at 212 and
// 424 a FeliCa frame of LEN and payload.
Cycles depFrame(std::size_t payload, unsigned speed);
// From the end of a frame to the answer: in active mode the target waits TADT
// (768/fc) before its field comes on and TARFG (1024/fc) before it sends; in
// passive mode at 106 the Type A frame delay time, at 212/424 the FeliCa frame
// delay (2672/fc, as the proxmark3 firmware's felica.c times a card).
Cycles depTurnaround(bool active, unsigned speed);
// One exchange of `sent` data bytes for `answered` data bytes in DEP_REQ/DEP_RES
// frames (3 header bytes), chained at 251 data bytes (LR 254 of the ATR's PP 30),
// each chained part acknowledged by a 3-byte ACK frame.
Cycles depExchange(std::size_t sent, std::size_t answered, bool active, unsigned speed);
// In active mode the initiator first checks for another field (TIDT, 4096/fc),
// switches its own on and waits TIRFG (5 ms) before its ATR_REQ (ISO/IEC 18092, 11.1.1).
Cycles depInitialGuard();

}  // namespace rf
}  // namespace pelvsim
