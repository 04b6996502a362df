#include "ScpiStatus.h"

#include <algorithm>

namespace {

constexpr int kQueueOverflow = -350;

} // namespace

void ScpiStatus::Register::Set(std::uint16_t now)
{
    event = EventWith(now);
    condition = now;
}

std::uint16_t ScpiStatus::Register::EventWith(std::uint16_t now) const
{
    return static_cast<std::uint16_t>(event | (now & ~condition & ptr) | (~now & condition & ntr));
}

std::uint16_t ScpiStatus::Register::TakeEvent()
{
    const std::uint16_t taken = event;
    event = 0;
    return taken;
}

const char* ScpiStatus::ErrorText(int number)
{
    switch (number) {
    case -100: return "Command error";
    case -101: return "Invalid character";
    case -102: return "Syntax error";
    case -104: return "Data type error";
    case -108: return "Parameter not allowed";
    case -109: return "Missing parameter";
    case -113: return "Undefined header";
    case -200: return "Execution error";
    case -203: return "Command protected";
    case -221: return "Settings conflict";
    case -222: return "Data out of range";
    case -224: return "Illegal parameter value";
    case -240: return "Hardware error";
    case -241: return "Hardware missing";
    case -250: return "Mass storage error";
    case -256: return "File name not found";
    case -300: return "Device-specific error";
    case -410: return "Query INTERRUPTED";
    case -420: return "Query UNTERMINATED";
    case kQueueOverflow: return "Queue overflow";
    default: return "Error";
    }
}

void ScpiStatus::Push(int number, const std::string& detail)
{
    esr |= number <= -400 ? kQueryError : number <= -300 ? kDeviceError : number <= -200 ? kExecutionError : kCommandError;
    if (errors_.size() >= kErrorQueueSize) {
        errors_.back() = {kQueueOverflow, ErrorText(kQueueOverflow)};
        esr |= kDeviceError;
        return;
    }
    std::string text = ErrorText(number);
    if (!detail.empty())
        text += "; " + detail;
    // Quoted in the answer as it is: a quote inside would be doubled and
    // push the answer past the limit.
    for (char& c : text)
        c = c == '"' ? '\'' : c;
    text.resize(std::min(text.size(), kMaxText));
    errors_.push_back({number, std::move(text)});
}

std::string ScpiStatus::TakeError()
{
    if (errors_.empty())
        return "0,\"No error\"";
    const Error error = std::move(errors_.front());
    errors_.pop_front();
    return std::to_string(error.number) + ",\"" + error.text + "\"";
}

std::uint8_t ScpiStatus::StatusByte(std::uint16_t operation, std::uint16_t questionable, bool messageAvailable) const
{
    std::uint8_t stb = 0;
    if (!errors_.empty())
        stb |= kErrorQueueBit;
    if (this->questionable.EventWith(questionable) & this->questionable.enable)
        stb |= kQuestionableBit;
    if (messageAvailable)
        stb |= kMessageAvailable;
    if (esr & ese)
        stb |= kEventSummary;
    if (this->operation.EventWith(operation) & this->operation.enable)
        stb |= kOperationBit;
    if (stb & sre & ~kMasterSummary)
        stb |= kMasterSummary;
    return stb;
}

void ScpiStatus::Clear()
{
    esr = 0;
    operation.event = 0;
    questionable.event = 0;
    errors_.clear();
}

void ScpiStatus::Preset()
{
    for (Register* which : {&operation, &questionable}) {
        which->enable = 0;
        which->ptr = Register::kAll;
        which->ntr = 0;
    }
}
