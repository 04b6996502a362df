// libFuzzer harness for the SCPI command layer: any bytes are what a client
// might send. A recording instrument stands in for the switch; some of its
// operations come back at once, some later, as the core's do. The first
// input that breaks a property aborts with the property and the line.
#include "Require.h"
#include "ScpiSession.h"

#include <algorithm>
#include <deque>
#include <regex>
#include <sstream>

namespace {

std::string current;  // the line being run

void Require(bool holds, const char* property) { ::Require(holds, property, current); }

struct Recorder final : ScpiInstrument
{
    explicit Recorder(std::uint64_t seed) : seed(seed | 1) {}

    SwitchView View() const override { return view; }
    void Select(RfPath path, Done done) override
    {
        if (!drivable || view.lockedByOther)
            return done({Outcome::NotWritten, "not driven", view.lockedByOther ? Cause::Locked : Cause::Unusable});
        selects.push_back(path);
        Later([this, path, done] { view.bits = ControlBits{path == RfPath::Rf1, path == RfPath::Rf2}; done({}); });
    }
    void SetPort(std::int32_t address, Done done) override
    {
        Require(address >= 1 && address <= 0xFFFD, "an address where no port may be reaches the port");
        ++ports;
        Later([this, address, done] { view.address = address; done({}); });
    }
    void SetPortDevice(const std::string&, Done done) override
    {
        ++ports;
        Later([done] { done({}); });
    }
    std::vector<std::string> PortList() const override { return {"/dev/parport0: base 888 (0x378)"}; }
    void WhenIdle(std::function<void()> then) override { Later(std::move(then)); }
    OperationResult SetSettleTime(std::chrono::milliseconds time) override
    {
        Require(time.count() >= 0 && time.count() <= 60000, "a settle time out of range is taken");
        view.settleTime = time;
        return {};
    }
    void Refused(const std::string&, const std::string&) override {}
    bool Lock() override { return !view.lockedByOther; }
    void Unlock() override {}
    OperationResult ClearCycles(const std::vector<int>& channels) override
    {
        Require(!channels.empty(), "counts cleared for no channel");
        for (const int channel : channels) {
            Require(channel == 1 || channel == 2, "counts cleared for a channel that does not exist");
            view.cycles.Of(channel) = 0;
        }
        return {};
    }
    OperationResult SetCycleLimit(std::uint64_t limit) override
    {
        view.cycles.limit = limit;
        return {};
    }
    int ChannelNamed(std::string_view text) const override { return text == "1" || text == "2" ? text[0] - '0' : view.labels.ChannelOf(text); }
    OperationResult SetLabel(int channel, const std::string& label) override
    {
        Require((channel == 1 || channel == 2) && (label.empty() || LabelProblem(label).empty()), "a label the switch cannot keep is set");
        view.labels.Of(channel) = label;
        return {};
    }
    OperationResult SaveSetup(int number) override
    {
        Require(number >= 0 && number <= 9, "a setup saved under a number it does not have");
        return {};
    }
    void RecallSetup(int number, Done done) override
    {
        Require(number >= 0 && number <= 9, "a setup recalled under a number it does not have");
        Later([done] { done({}); });
    }
    OperationResult SetPowerOn(std::optional<int> number) override
    {
        Require(!number || (*number >= 0 && *number <= 9), "a power-on setup it does not have");
        view.powerOn = number;
        return {};
    }

    // Now or after what waits already, by the seed; Finish() runs what waits in order, as the core does.
    void Later(std::function<void()> work)
    {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        if (pending.empty() && (seed >> 63))
            work();
        else
            pending.push_back(std::move(work));
    }
    void Finish()
    {
        while (!pending.empty()) {
            auto next = std::move(pending.front());
            pending.pop_front();
            next();
        }
    }

    std::uint64_t seed;
    bool drivable = true;
    std::deque<std::function<void()>> pending;
    SwitchView view{PortReach::Real, 888, "", ControlBits{}, false, "", false};
    std::vector<RfPath> selects;
    std::size_t ports = 0;
};

// A second opinion on what may reach the port: units that, read loosely,
// name a routing command, a reset or a port change. Headers after the first
// unit may be relative, so the root node is optional here.
// A channel is 1 or 2, or as a slot 101 or 102 (one board here).
const std::regex kCloseOne(R"(^[ \t]*(:?(ROUTE?:)?)CLOSE?[ \t]+\([ \t]*@([ \t:,]|0*(10)?1)*\)[ \t]*$)", std::regex::icase);
const std::regex kCloseTwo(R"(^[ \t]*(:?(ROUTE?:)?)CLOSE?[ \t]+\([ \t]*@([ \t:,]|0*(10)?2)*\)[ \t]*$)", std::regex::icase);
const std::regex kOpen(R"(^[ \t]*((:?(ROUTE?:)?)OPEN([ \t]+\(.*\)|:ALL)|\*RST)[ \t]*$)", std::regex::icase);
const std::regex kPort(R"(^[ \t]*(:?(SYST(EM)?:)?)PORT[ \t]+.*$)", std::regex::icase);
const std::regex kSilent(R"(\*(RST|CLS|WAI|OPC|ESE|SRE|SAV|RCL)|ROUT|CLOS|OPEN|SYST|STAT|DIAG|CHAN|MEM)", std::regex::icase);

std::size_t Matching(const std::string& line, const std::regex& pattern)
{
    std::size_t n = 0;
    std::istringstream units(line);
    for (std::string unit; std::getline(units, unit, ';');)
        n += std::regex_match(unit, pattern) ? 1 : 0;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::uint64_t seed = std::hash<std::string>{}(input);
    Recorder recorder(seed);
    const PortReach reaches[] = {PortReach::Real, PortReach::Unusable, PortReach::Refused, PortReach::Simulated};
    recorder.view.reach = reaches[seed % 4];
    if ((seed >> 9) & 1)
        recorder.view.bits.reset();
    recorder.view.lockedByOther = ((seed >> 10) & 3) == 0;
    recorder.drivable = recorder.view.reach == PortReach::Real || (recorder.view.reach == PortReach::Simulated && ((seed >> 8) & 1));
    const bool clearing = ((seed >> 12) & 7) == 0;
    auto session = ScpiSession::Create(recorder, {"maker", "model", "0", "1"});
    std::string answers;
    session->SetOutput([&answers](std::string_view answer) {
        Require(!answer.empty() && answer.find('\n') == answer.size() - 1, "an answer is one line ending in LF");
        answers += answer;
    });

    // One line at a time, so that what each does can be told apart.
    std::istringstream lines(input);
    for (std::string line; std::getline(lines, line);) {
        current = line;
        answers.clear();
        recorder.selects.clear();
        recorder.ports = 0;
        session->Feed(line + "\n");
        // A device clear abandons what the line waits for: what comes back
        // later answers nothing, and the next message is taken at once.
        if (clearing) {
            session->DeviceClear();
            answers.clear();
            session->Feed("*OPC?\n");
            recorder.Finish();
            Require(answers == "1\n", "a device clear leaves the session deaf or answering for the cleared line");
            session->Feed("*CLS\n");
            continue;
        }
        recorder.Finish();
        Require(session->Idle() && !session->Waiting(), "a line finishes once the port operations are over");

        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto selected = [&recorder](RfPath path) {
            return static_cast<std::size_t>(std::count(recorder.selects.begin(), recorder.selects.end(), path));
        };
        Require(selected(RfPath::Rf1) <= Matching(line, kCloseOne), "RF1 selected without a command closing channel 1");
        Require(selected(RfPath::Rf2) <= Matching(line, kCloseTwo), "RF2 selected without a command closing channel 2");
        Require(selected(RfPath::Off) <= Matching(line, kOpen), "all paths opened without a command to open them");
        Require(recorder.ports <= Matching(line, kPort), "a port taken without a command naming one");
        // Anything but blanks asks for something: an answer, an error, or an effect.
        const bool blank = line.find_first_not_of(" \t\r;") == std::string::npos;
        Require(blank || std::regex_search(line, kSilent) || !answers.empty() || !session->Errors().empty() || !recorder.selects.empty(),
                "a line vanishes without a trace");
        Require(session->Errors().size() <= ScpiSession::kErrorQueueSize, "the error queue outgrows its size");
        // A line of one unit: a command answers nothing, a query that raised
        // no error answers once.
        if (!blank && line.find_first_of(";\"'") == std::string::npos) {
            const std::size_t start = line.find_first_not_of(" \t");
            const std::string header = line.substr(start, line.find_first_of(" \t", start) - start);
            const bool query = !header.empty() && header.back() == '?';
            Require(query || answers.empty(), "a command answers");
            Require(!query || !session->Errors().empty() || std::count(answers.begin(), answers.end(), '\n') == 1,
                    "a query goes unanswered");
        }
        const std::uint8_t statusByte = session->StatusByte();
        answers.clear();
        session->Feed("*STB?\n");
        Require(answers == std::to_string(statusByte) + "\n", "*STB? and the status byte disagree");
        session->Feed("*CLS\n");
        recorder.Finish();
    }
    return 0;
}
