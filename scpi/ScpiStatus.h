#pragma once

// The IEEE 488.2 / SCPI status model of one connection: the error queue, the
// standard event status register and its enable, the service request enable,
// and the OPERation and QUEStionable registers.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

class ScpiStatus
{
public:
    static constexpr std::size_t kErrorQueueSize = 16;
    // Longest error or event text (SCPI's limit).
    static constexpr std::size_t kMaxText = 255;

    // Standard event status register bits.
    static constexpr std::uint8_t kOperationComplete = 1 << 0;
    static constexpr std::uint8_t kQueryError = 1 << 2;
    static constexpr std::uint8_t kDeviceError = 1 << 3;
    static constexpr std::uint8_t kExecutionError = 1 << 4;
    static constexpr std::uint8_t kCommandError = 1 << 5;
    // Status byte bits.
    static constexpr std::uint8_t kErrorQueueBit = 1 << 2;
    static constexpr std::uint8_t kQuestionableBit = 1 << 3;
    static constexpr std::uint8_t kMessageAvailable = 1 << 4;
    static constexpr std::uint8_t kEventSummary = 1 << 5;
    static constexpr std::uint8_t kMasterSummary = 1 << 6;
    static constexpr std::uint8_t kOperationBit = 1 << 7;
    // OPERation conditions: SCPI's SETTling, from a write until the
    // switch's settle time has passed; a switch operation is under way.
    static constexpr std::uint16_t kSettling = 1 << 1;
    static constexpr std::uint16_t kSwitching = 1 << 8;
    // QUEStionable conditions: no board is driven (the port is unusable,
    // refused, or only simulated); the board's state is unknown; a path has
    // closed as often as the limit set for the switch's life, or more.
    static constexpr std::uint16_t kNoBoard = 1 << 9;
    static constexpr std::uint16_t kStateUnknown = 1 << 10;
    static constexpr std::uint16_t kCycleLimit = 1 << 11;

    struct Error
    {
        int number;
        std::string text;
    };

    // A condition register with its transition filters, its event register
    // (set where a condition rises and the positive filter has the bit, or
    // falls and the negative one has it; cleared when read) and the enable
    // mask of its summary.
    struct Register
    {
        static constexpr std::uint16_t kAll = 0x7FFF;

        std::uint16_t condition = 0;
        std::uint16_t ptr = kAll;
        std::uint16_t ntr = 0;
        std::uint16_t event = 0;
        std::uint16_t enable = 0;

        void Set(std::uint16_t now);
        // The event register as it would be with the condition `now`.
        std::uint16_t EventWith(std::uint16_t now) const;
        std::uint16_t TakeEvent();
    };

    // Queues an error and sets its event bit. A full queue keeps its oldest
    // entries; the newest says that it overflowed.
    void Push(int number, const std::string& detail = {});
    static const char* ErrorText(int number);
    // "-113,\"Undefined header\"", or 0,"No error"; taken off the queue.
    std::string TakeError();
    const std::deque<Error>& Errors() const { return errors_; }

    // The status byte for the conditions `operation` and `questionable` now,
    // with MAV as given; MSS included.
    std::uint8_t StatusByte(std::uint16_t operation, std::uint16_t questionable, bool messageAvailable) const;

    // *CLS: the event registers and the error queue; the enables stay.
    void Clear();
    // STAT:PRES: the OPERation and QUEStionable enables cleared, their
    // filters back to rising edges only.
    void Preset();

    std::uint8_t esr = 0;
    std::uint8_t ese = 0;
    std::uint8_t sre = 0;
    Register operation;
    Register questionable;

private:
    std::deque<Error> errors_;
};
