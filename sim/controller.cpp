// Placeholder while the model is written: a controller that never answers.
#include "controller.h"

#include <map>

#include "faults.h"
#include "field.h"

namespace pelvsim {

struct Controller::State {
  Field field;
  Faults faults;
  std::vector<std::vector<std::uint8_t>> commands;
  std::uint32_t baud = 115200;
};

Controller::Controller() : state_(new State) {}
Controller::~Controller() = default;
void Controller::hostWrote(const std::uint8_t*, std::size_t, std::uint64_t, std::uint32_t) {}
std::size_t Controller::available(std::uint64_t) const { return 0; }
int Controller::pop(std::uint64_t) { return -1; }
void Controller::dropArrived(std::uint64_t) {}
std::uint64_t Controller::nextArrivalUs() const { return UINT64_MAX; }
void Controller::advanceTo(std::uint64_t) {}
std::uint32_t Controller::baud() const { return state_->baud; }
void Controller::setBaud(std::uint32_t b) { state_->baud = b; }
void Controller::setPacing(bool) {}
void Controller::setAnswerDelayUs(std::uint32_t) {}
Field& Controller::field() { return state_->field; }
Faults& Controller::faults() { return state_->faults; }
const std::vector<std::vector<std::uint8_t>>& Controller::commands() const { return state_->commands; }
void Controller::clearCommands() { state_->commands.clear(); }
std::uint8_t Controller::registerValue(std::uint16_t) const { return 0; }
std::uint8_t Controller::gpioP3() const { return 0; }
std::uint8_t Controller::gpioP7() const { return 0; }
bool Controller::rfFieldOn() const { return false; }
bool Controller::poweredDown() const { return false; }

}  // namespace pelvsim
