// The simulated controller's own state, shared by its parts: the frame codec
// (frame_codec.cpp), the line (line.cpp), the command handlers by family
// (commands_*.cpp, auto_poll.cpp), raw frames to the cards (communicate_thru.cpp,
// rf_frame.cpp) and the card technologies (card_*.cpp, peer.cpp).
// Private to sim/: the public face is controller.h.
//
// Commands run when their frame is complete, at the time its last byte arrives,
// and their ACK and answer are queued at once with future arrival times. The one
// exception is a command that waits (TgInitAsTarget, TgGetData with nothing to
// give, InAutoPoll): its answer is queued for the time it would come, or not at
// all; until then the controller takes no other command, and a host ACK frame
// cancels it (PN532 user manual, 6.2.1.3: an ACK from the host aborts the
// command in progress).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "controller.h"
#include "faults.h"
#include "field.h"
#include "rf_frame.h"
#include "rf_timing.h"

namespace pelvsim {

using Bytes = std::vector<std::uint8_t>;

// The UID as InListPassiveTarget's InitiatorData carries it: cascade tag 88
// before the first three bytes of every cascade level but the last.
Bytes cascadeUid(const Bytes& uid);

// Controller status bytes (PN532 user manual, 7.1, error codes).
constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusTimeout = 0x01;
constexpr std::uint8_t kStatusAuthError = 0x14;
constexpr std::uint8_t kStatusInvalidState = 0x25;
constexpr std::uint8_t kStatusWrongContext = 0x27;
constexpr std::uint8_t kStatusReleased = 0x29;
// Bit 6 of the status byte: more information, the rest of the answer follows
// by further InDataExchange (PN532 user manual, 7.1 and 7.3.8).
constexpr std::uint8_t kStatusMoreInformation = 0x40;
// InDataExchange carries at most 262 data bytes either way (7.3.8).
constexpr std::size_t kLongestExchangeData = 262;

constexpr std::uint8_t kTgInitAsTargetCode = 0x8C;

// CIU registers that the hardware changes (PN532 data sheet, CIU register map).
constexpr std::uint16_t kFifoData = 0x6339;
constexpr std::uint16_t kFifoLevel = 0x633A;
constexpr std::uint16_t kTxControl = 0x6304;
constexpr std::uint8_t kTxRfEnable = 0x03;  // Tx1RFEn, Tx2RFEn

inline std::uint8_t u8(unsigned v) { return static_cast<std::uint8_t>(v & 0xFFu); }
inline std::uint16_t u16(std::uint8_t hi, std::uint8_t lo) {
  return static_cast<std::uint16_t>(hi << 8 | lo);
}

enum class Kind { Felica, TypeA, Mifare, Page, TypeB, Peer };

// A target listed by InListPassiveTarget or InJumpForDEP, found again in the
// field by its identifier on every use.
struct Target {
  Kind kind;
  Bytes id;
  std::uint8_t brTy = 0;
  bool selected = true;
  int authSector = -1;  // MIFARE Classic: the sector opened by the last authentication
  Bytes answerRest;     // the part of a long answer not yet given to the host
  bool dep = false;     // a DEP peer activated by InATR, InJumpForDEP or InJumpForPSL
  std::uint8_t depSpeed = 0;  // the DEP link's speed: 0 106, 1 212, 2 424 kbit/s
  bool depActive = false;     // active mode (both sides make their own field)
};

// A card that answered a poll: its identifier and the target data that
// InListPassiveTarget reports for it (after the target number).
struct Polled {
  Kind kind;
  Bytes id;
  Bytes data;
};

enum class TargetMode { Idle, Waiting, Activated };

struct Reply {
  enum Type { Answer, ErrorFrame, NoAnswer, Wait } type = Answer;
  Bytes data;              // answer code and data
  std::uint64_t at = 0;    // earliest arrival of the answer's first byte
};

inline Reply answer(Bytes data) {
  Reply r;
  r.data = std::move(data);
  return r;
}
inline Reply errorFrame() {
  Reply r;
  r.type = Reply::ErrorFrame;
  return r;
}

struct Controller::State {
  Field field;
  Faults faults;
  std::vector<Bytes> commands;
  std::vector<std::uint64_t> rfTimes;  // air time (us) of each command in `commands`

  // RF timing (--rf-timing): the air time of the command being run, added up by
  // its handler; its answer leaves that much later.
  bool rfTiming = false;
  rf::Cycles rfCycles = 0;
  void air(rf::Cycles c) {
    if (rfTiming) rfCycles += c;
  }
  rf::Cycles retryAir() const { return rf::fromTimeoutCode(retryTimeout); }

  // line
  std::uint32_t baud = 115200;
  std::uint32_t pendingBaud = 0;  // SetSerialBaudRate waiting for the host's ACK
  bool pacing = false;
  std::uint32_t ackDelayUs = 0;

  // receiver
  Bytes rx;
  // The byte after the one being fed, within the same host write, so that a
  // frame is taken when its postamble arrives.
  const std::uint8_t* lookahead = nullptr;
  std::uint64_t lookaheadTime = 0;
  bool lookaheadTaken = false;
  std::vector<std::uint64_t> rxTimes;
  std::uint64_t rxFreeAt = 0;

  // transmitter: bytes and their arrival times, in time order
  struct Out {
    std::uint64_t t;
    std::uint8_t b;
  };
  std::deque<Out> out;
  std::uint64_t txFreeAt = 0;
  Bytes lastAnswerFrame;

  // a command that waits; its answer (if queued) is the last `waitBytes` of `out`
  bool waiting = false;
  std::size_t waitBytes = 0;
  std::uint64_t waitAnswerAt = 0;
  bool waitIsActivation = false;  // the answer is TgInitAsTarget's

  // controller settings
  std::map<std::uint16_t, std::uint8_t> registers;
  std::uint8_t p3 = 0x3F;
  std::uint8_t p7 = 0x06;
  bool rfOn = false;
  // RFConfiguration (PN532 user manual, 7.3.1) as after reset: item 02's
  // fATR_RES_Timeout 0B (102.4 ms) and item 05's MxRtyATR FF (retry until the
  // host's ACK frame aborts).
  std::uint8_t atrResTimeout = 0x0B;
  std::uint8_t maxRetriesAtr = 0xFF;
  // Item 02's fRetryTimeout, 0A (51.2 ms) after reset: how long InDataExchange and
  // InCommunicateThru wait for a target that does not answer (libnfc's pn53x.c sets
  // it as its NP_TIMEOUT_COM).
  std::uint8_t retryTimeout = 0x0A;
  // SetParameters flags (PN532 user manual, 7.2.9); fAutomaticATR_RES (bit 2)
  // and fAutomaticRATS (bit 4) set, as libnfc and the library's target mode use them.
  std::uint8_t parameters = 0x14;
  // CIU_FIFOData's contents (CIU_FIFOLevel counts them): what the controller
  // last received from a card, or what it sent when nothing answered.
  std::deque<std::uint8_t> fifo;
  // Power-down (PowerDown, and TgInitAsTarget while it waits): the first byte
  // from the host wakes the controller and is lost with those that follow while
  // it starts (line.cpp); an initiator's field wakes it at `rfWakeUs`.
  bool poweredDown = false;
  std::uint64_t rfWakeUs = UINT64_MAX;
  std::uint64_t wokeUs = 0;  // when the last waking byte arrived
  std::uint64_t bytesSinceWake = 0;
  bool starting = false;

  // targets
  std::vector<Target> listed;  // Tg = index + 1
  std::vector<Bytes> halted;   // Type A and B cards put to sleep by InDeselect / InRelease
  // Type A and B cards out of the idle state and not halted, by UID / PUPI
  // (ISO/IEC 14443-3, 6.3 and 7.5); a card absent from here and `halted` is idle.
  struct Awake {
    bool active = false;    // selected (Type A) or given ATTRIB (Type B); else ready
    bool fromHalt = false;  // woken from halt: an error sends it back there
    int level = 0;          // Type A: the cascade level being resolved while ready
    int compatWritePage = -1;  // page card: the page of a COMPATIBILITY WRITE's first part
    // Type B after ATTRIB (ISO/IEC 14443-4): the CID (-1: the card has no CID
    // support), the reader's frame size FSD, the card's block number, the
    // I-block chain being received, the answer (or its rest) still to send, the
    // last block sent, and the S(WTX) requests still to come before the answer.
    int cid = -1;
    std::size_t fsd = 256;
    int blockNumber = 1;
    Bytes chainIn;
    Bytes chainOut;
    Bytes lastBlock;
    int wtxLeft = 0;
  };
  std::map<Bytes, Awake> awake;
  TargetMode targetMode = TargetMode::Idle;
  // As target, after the initiator's ATR_REQ: the ATR_RES is the host's to
  // give (fAutomaticATR_RES clear), or the link runs frame by frame
  // (TgGetInitiatorCommand / TgResponseToInitiator), or data by data.
  enum class TargetLink { Dep, AtrPending, Raw } targetLink = TargetLink::Dep;
  Bytes targetMeta;         // TgSetMetaData parts not yet completed by TgSetData
  std::uint8_t initiatorPni = 0;  // the initiator's next DEP_REQ packet number

  // ---- line (line.cpp) ----
  void emit(const std::uint8_t* data, std::size_t n, std::uint64_t at);
  void emit(const Bytes& b, std::uint64_t at) { emit(b.data(), b.size(), at); }
  void abortWaiting(std::uint64_t now);
  bool busy(std::uint64_t now) const;  // a waiting command has not answered by `now`
  void feed(std::uint8_t b, std::uint64_t t);
  void consume(std::size_t n);
  void hostAck(std::uint64_t t);
  void hostNack(std::uint64_t t);
  bool lostWhileAsleep(std::uint64_t t);  // the byte arriving at t wakes or finds it starting
  void command(const Bytes& payload, std::uint64_t t);

  // ---- frame codec (frame_codec.cpp) ----
  void parse();

  // ---- command handlers ----
  Reply run(const Bytes& p, std::uint64_t t);  // controller.cpp: by command code
  // commands_general.cpp
  Reply generalCommand(const Bytes& p);
  std::uint8_t readRegister(std::uint16_t address) const;
  void writeRegister(std::uint16_t address, std::uint8_t value);
  Reply generalStatus() const;
  Reply rfConfiguration(const Bytes& p);
  void fieldOff();
  // commands_initiator.cpp
  Reply inListPassiveTarget(const Bytes& p);
  // The air time of a poll that found `found` (rf_timing.h).
  rf::Cycles pollAir(std::uint8_t brTy, const Bytes& init, const std::vector<Polled>& found);
  rf::Cycles depAtrAir(const Target& tg, std::size_t atrReq) const;
  Reply inDataExchange(const Bytes& p);
  Reply chainedAnswer(Target* tg, const Bytes& data);
  Reply inDeselectOrRelease(const Bytes& p);
  Reply inSelect(const Bytes& p);
  Reply inJumpForDep(const Bytes& p, std::uint64_t t);
  Target* target(std::uint8_t tg);
  bool isHalted(const Bytes& id) const;
  // auto_poll.cpp
  Reply inAutoPoll(const Bytes& p, std::uint64_t t);
  bool autoPollType(std::uint8_t type, Bytes* entry);
  // commands_target.cpp
  Reply tgInitAsTarget(const Bytes& p, std::uint64_t t);
  Reply tgGetData();
  Reply tgSetData(const Bytes& p);
  Reply tgGetTargetStatus() const;

  // communicate_thru.cpp: raw frames shaped by the CIU registers, to the cards
  // of the modulation that the last poll or the host's registers chose.
  Reply inCommunicateThru(const Bytes& p);
  Reply thruSilence(const Bytes& sent);
  rf::Cycles isoDepWait(const Bytes& sent, const Bytes& heard) const;  // rf_timing.h
  rf::Cycles felicaWait(const Bytes& d);
  void useModulation(std::uint8_t brTy);  // CIU_TxMode / RxMode / TxAuto as a poll leaves them
  bool typeBFrameHeard() const;           // the registers send what a Type B card hears
  // A card that leaves the active state is no longer a usable target.
  void leaveActive(const Bytes& id);
  // Sends a card back to idle, or to halt when it was woken from there.
  void fallBack(const Bytes& id);

  // ---- cards ----
  // card_type_a.cpp: Type A polling in the order mifare, page, typeA; `init` is
  // the UID asked for (empty: any).
  // The cards found become active; every other awake Type A card goes idle.
  void pollTypeA(std::size_t maxTg, const Bytes& init, std::vector<Polled>* found);
  // A raw Type A frame to every card (REQA, WUPA, anticollision, select, HLTA);
  // false when none answers. The first card that answers is heard.
  bool typeAFrame(const RfFrame& in, RfFrame* result);
  struct Picc {  // what the Type A state machine needs of a card
    Kind kind;
    Bytes uid;
    std::array<std::uint8_t, 2> atqa;  // as sent, low byte first
    std::uint8_t sak;
  };
  std::vector<Picc> typeACards() const;
  bool typeAAnswer(const Picc& card, const RfFrame& in, RfFrame* reply);
  MifareClassicCard* findMifare(const Bytes& id);
  PageCard* findPage(const Bytes& id);
  TypeACard* findTypeA(const Bytes& id);
  void mifareCommand(MifareClassicCard& c, Target& tg, const Bytes& d, Bytes* a);
  static bool pageCommand(PageCard& c, const Bytes& d, Bytes* a);
  // A frame to an active page card: false when it stays silent (it goes idle).
  bool pageFrame(PageCard& c, Awake& st, const RfFrame& in, RfFrame* reply);
  // The FIFO after a frame: what answered, or what was sent.
  void fillFifo(const Bytes& bytes);
  // card_felica.cpp: `init` is the Polling request 00 SC1 SC2 RC TSN.
  void pollFelica(std::size_t maxTg, std::uint8_t brTy, const Bytes& init,
                  std::vector<Polled>* found) const;
  FelicaCard* findFelica(const Bytes& id);
  static bool felicaCommand(FelicaCard& c, const Bytes& d, Bytes* a);
  // A FeliCa frame (with its length byte) to every FeliCa card and the peer;
  // appends status 00 and the first answer; false when none answers.
  bool felicaFrame(const Bytes& d, Bytes* a);
  // card_type_b.cpp
  // REQB then ATTRIB: an active card does not answer, the cards found become active.
  void pollTypeB(std::size_t maxTg, std::uint8_t afi, std::vector<Polled>* found);
  TypeBCard* findTypeB(const Bytes& id);
  static bool afiMatches(std::uint8_t request, std::uint8_t card);
  // REQB / WUPB, ATTRIB or HLTB: appends status 00 and the answer of the first
  // card that answers; false when none does.
  bool typeBRequest(const Bytes& d, Bytes* a);
  // Any Type B frame (without CRC_B): the requests above, then ISO/IEC 14443-4
  // blocks to the active cards; false when none answers.
  bool typeBFrame(const Bytes& d, Bytes* a);
  bool isoDepBlock(TypeBCard& c, Awake& st, const Bytes& d, Bytes* reply);
  static void startIsoDep(Awake& st, const TypeBCard& c, unsigned cid, std::size_t fsd);
  bool typeBApdu(TypeBCard& c, const Bytes& d, Bytes* a);
  // peer.cpp
  Reply peerExchange(DepPeer& peer, const Bytes& d);
  bool activatePeer(Bytes* a);
  // InATR, InPSL, InJumpForPSL (peer.cpp)
  Reply inAtr(const Bytes& p);
  Reply inPsl(const Bytes& p);
  void appendAtrRes(const DepPeer& peer, Bytes* a) const;
  // commands_target.cpp: the frame-by-frame and chained target commands
  Reply tgGetInitiatorCommand();
  Reply tgResponseToInitiator(const Bytes& p);
  Reply tgSetGeneralBytes(const Bytes& p);
  Reply tgSetMetaData(const Bytes& p);
  Initiator* activeInitiator();
};

}  // namespace pelvsim
