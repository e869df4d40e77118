// A model of the reader's NFC controller (PN532 host interface) and of the cards
// and peers in its field. It has its own frame codec and shares no code with the
// library, so a fault in the library's frames cannot hide behind the same fault
// here. The same model serves the in-process simulated port (virtual time) and a
// pseudo-terminal (real time); times are microseconds on the caller's clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Behaviour on the line (PN532 user manual, 6.2):
// - Host frames are found by their start code 00 FF after any preamble or noise;
//   normal and extended frames are taken when complete (with the postamble when
//   it comes in the same write). A wrong LCS, DCS or TFI makes the frame ignored.
// - Every valid frame gets the ACK and exactly one answer frame (D5, code + 1),
//   extended when TFI + answer exceed 255 bytes; RFRegulationTest gets the ACK
//   only; an unknown or malformed command gets the error frame 00 00 FF 01 FF 7F 81 00.
// - A host ACK frame cancels a command that is still waiting (TgInitAsTarget,
//   TgGetData) and completes a SetSerialBaudRate: the new speed applies from the
//   bytes after that ACK (another command instead cancels the switch). A host NACK
//   frame gets the last answer again.
// - Unpaced, the ACK and answer arrive at the time the frame's last byte arrived
//   (+ setAnswerDelayUs); paced, every byte takes 10 bits at the line speed.
// - With setRfTiming, an answer also waits for the command's air time; until it
//   leaves the controller takes no other command and a host ACK cancels it.
// - Bytes written at a speed other than baud() are lost (hostBaud 0: no check).
// The commands understood, the cards and their answers: field.h; faults: faults.h.
namespace pelvsim {

class Field;   // cards, peers and the initiator in the field: field.h
struct Faults; // scripted faults: faults.h

class Controller {
 public:
  Controller();
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // ---- the serial line ----
  // Bytes from the host, written at nowUs while the host's line ran at hostBaud.
  // Bytes that arrive at a speed other than the controller's are lost as noise.
  void hostWrote(const std::uint8_t* data, std::size_t n, std::uint64_t nowUs,
                 std::uint32_t hostBaud);
  // Bytes that have reached the host by nowUs.
  std::size_t available(std::uint64_t nowUs) const;
  // The next byte that has reached the host by nowUs, or -1.
  int pop(std::uint64_t nowUs);
  // The host purged its input buffer at nowUs.
  void dropArrived(std::uint64_t nowUs);
  // When the next queued byte reaches the host (UINT64_MAX when none is queued).
  std::uint64_t nextArrivalUs() const;
  // Lets time-driven behaviour run (a target activated by the initiator later,
  // delayed answers); called by whoever drives the line.
  void advanceTo(std::uint64_t nowUs);

  // ---- settings ----
  std::uint32_t baud() const;           // the controller's own line speed
  void setBaud(std::uint32_t baud);     // e.g. a reader left at 9600 by an earlier user
  void setPacing(bool on);              // 10 bits a byte at the line speed, both directions
  void setAnswerDelayUs(std::uint32_t us);  // time from a whole command to its ACK
  // The RF side takes its time (rf_timing.h): a command's answer leaves after the
  // air time of the frames it exchanges with cards and peers and their response
  // times. Off by default: the answer leaves at once.
  void setRfTiming(bool on);

  Field& field();
  Faults& faults();

  // ---- records ----
  // Payload (command code and parameters, no TFI) of every valid command frame
  // received, in order.
  const std::vector<std::vector<std::uint8_t>>& commands() const;
  // The air time (microseconds) that RF timing added to each command of
  // commands(), in the same order; all 0 while it is off.
  const std::vector<std::uint64_t>& rfTimesUs() const;
  void clearCommands();
  // Registers and GPIO as the model holds them.
  std::uint8_t registerValue(std::uint16_t address) const;
  std::uint8_t gpioP3() const;
  std::uint8_t gpioP7() const;
  bool rfFieldOn() const;
  bool poweredDown() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace pelvsim
