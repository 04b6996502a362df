#pragma once

#include "PortLayer.h"
#include "ScpiInstrument.h"
#include "SwitchCore.h"

#include <memory>
#include <optional>
#include <vector>

// The switch core as one connection's command layer sees it; every
// operation is this client's, queued with the panel's and the command
// line's. A lock it holds ends with it, and so does every operation it asked
// for that has not started yet: whichever server owns it, a client that has
// gone switches nothing later.
class SwitchInstrument final : public ScpiInstrument
{
public:
    // `list` lists the parallel ports (the system's unless a test says otherwise).
    SwitchInstrument(SwitchCore& core, Source source, std::function<std::vector<std::string>()> list = ListSystemPorts);
    ~SwitchInstrument() override;

    const Source& Client() const { return source_; }
    // The client has gone (its connection closed): its lock is let go, and
    // what it asked for and has not started is not carried out.
    void Leave();
    // While set, operations and the lock are asked as `holder`: clients
    // that share one lock hold the core's lock under one name. Unset, as
    // this client again. Either way they end with this client.
    void ShareLockAs(std::optional<Source> holder);

    SwitchView View() const override;
    void Select(RfPath path, Done done) override;
    void SetPort(std::int32_t address, Done done) override;
    void SetPortDevice(const std::string& device, Done done) override;
    std::vector<std::string> PortList() const override { return list_(); }
    void WhenIdle(std::function<void()> then) override;
    OperationResult SetSettleTime(std::chrono::milliseconds time) override;
    void Refused(const std::string& request, const std::string& why) override;
    bool Lock() override;
    void Unlock() override;
    OperationResult ClearCycles(const std::vector<int>& channels) override;
    OperationResult SetCycleLimit(std::uint64_t limit) override;
    int ChannelNamed(std::string_view text) const override { return core_.ChannelNamed(text); }
    OperationResult SetLabel(int channel, const std::string& label) override;
    OperationResult SaveSetup(int number) override;
    void RecallSetup(int number, Done done) override;
    OperationResult SetPowerOn(std::optional<int> number) override;
    // Where the core is board 1 of several, the others as this client's too.
    int Boards() const override { return 1 + static_cast<int>(others_.size()); }
    ScpiInstrument& Board(int board) override { return board <= 1 ? *this : *others_.at(static_cast<std::size_t>(board - 2)); }

private:
    SwitchCore& core_;
    Lifetime lifetime_;
    const Source& Acting() const { return shared_ ? *shared_ : source_; }

    Source source_;
    std::optional<Source> shared_;
    std::function<std::vector<std::string>()> list_;
    std::vector<std::unique_ptr<SwitchInstrument>> others_;
    int board_ = 1;
};
