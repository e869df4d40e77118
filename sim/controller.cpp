// The simulated controller's public face and its command dispatch: each command
// code goes to the handler of its family (commands_general.cpp,
// commands_initiator.cpp, commands_target.cpp).
#include "controller.h"

#include "controller_state.h"

namespace pelvsim {

Reply Controller::State::run(const Bytes& p, std::uint64_t t) {
  switch (p[0]) {
    case 0x40:
      return inDataExchange(p);
    case 0x42:
      return inCommunicateThru(p);
    case 0x44:
    case 0x52:
      return inDeselectOrRelease(p);
    case 0x46:
    case 0x56:
      return inJumpForDep(p, t);
    case 0x4A:
      return inListPassiveTarget(p);
    case 0x4E:
      return inPsl(p);
    case 0x50:
      return inAtr(p);
    case 0x54:
      return inSelect(p);
    case 0x60:
      return inAutoPoll(p, t);
    case 0x86:
      return tgGetData();
    case 0x8A:
      return tgGetTargetStatus();
    case 0x8C:
      return tgInitAsTarget(p, t);
    case 0x8E:
      return tgSetData(p);
    case 0x88:
      return tgGetInitiatorCommand();
    case 0x90:
      return tgResponseToInitiator(p);
    case 0x92:
      return tgSetGeneralBytes(p);
    case 0x94:
      return tgSetMetaData(p);
    default:
      return generalCommand(p);
  }
}

Controller::Controller() : state_(new State) {}
Controller::~Controller() = default;

Field& Controller::field() { return state_->field; }
Faults& Controller::faults() { return state_->faults; }
const std::vector<std::vector<std::uint8_t>>& Controller::commands() const { return state_->commands; }
const std::vector<std::uint64_t>& Controller::rfTimesUs() const { return state_->rfTimes; }
void Controller::clearCommands() {
  state_->commands.clear();
  state_->rfTimes.clear();
}
std::uint8_t Controller::registerValue(std::uint16_t address) const { return state_->readRegister(address); }
std::uint8_t Controller::gpioP3() const { return state_->p3; }
std::uint8_t Controller::gpioP7() const { return state_->p7; }
bool Controller::rfFieldOn() const { return state_->rfOn; }
bool Controller::poweredDown() const { return state_->poweredDown; }

}  // namespace pelvsim
