// libFuzzer harness for the SCPI command layer: any bytes are what a client
// might send. A recording instrument stands in for the switch; some of its
// operations come back at once, some later, as the core's do. The first
// input that breaks a property aborts with the property and the line.
#include "ScpiSession.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <regex>
#include <sstream>

namespace {

std::string current;  // the line being run

void Require(bool holds, const char* property)
{
    if (holds)
        return;
    std::fprintf(stderr, "property violated: %s\nline (%zu bytes):", property, current.size());
    for (const unsigned char c : current)
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

struct Recorder final : ScpiInstrument
{
    explicit Recorder(std::uint64_t seed) : seed(seed | 1) {}

    ScpiPortState State() const override { return state; }
    void Select(ScpiPath path, Done done) override
    {
        if (!drivable)
            return done({ScpiOutcome::Kind::Missing, "not driven"});
        selects.push_back(path);
        Later([this, path, done] { state.c1 = path == ScpiPath::Rf1; state.c2 = path == ScpiPath::Rf2; done({}); });
    }
    void SetPort(std::int32_t address, Done done) override
    {
        Require(address >= 1, "an address below 1 reaches the port");
        ++ports;
        Later([this, address, done] { state.address = address; done({}); });
    }
    void WhenIdle(std::function<void()> then) override { Later(std::move(then)); }
    void Refused(const std::string&, const std::string&) override {}

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
    ScpiPortState state{ScpiPortState::Kind::Real, "", 888, false, false};
    std::vector<ScpiPath> selects;
    std::size_t ports = 0;
};

// A second opinion on what may reach the port: units that, read loosely,
// name a routing command, a reset or a port change. Headers after the first
// unit may be relative, so the root node is optional here.
const std::regex kCloseOne(R"(^[ \t]*(:?ROUTE?:)?CLOSE?[ \t]+\([ \t]*@[ \t01:,]*\)[ \t]*$)", std::regex::icase);
const std::regex kCloseTwo(R"(^[ \t]*(:?ROUTE?:)?CLOSE?[ \t]+\([ \t]*@[ \t02:,]*\)[ \t]*$)", std::regex::icase);
const std::regex kOpen(R"(^[ \t]*((:?ROUTE?:)?OPEN([ \t]+\(.*\)|:ALL)|\*RST)[ \t]*$)", std::regex::icase);
const std::regex kPort(R"(^[ \t]*(:?SYST(EM)?:)?PORT[ \t]+.*$)", std::regex::icase);
const std::regex kSilent(R"(\*(RST|CLS|WAI|OPC)|ROUT|SYST)", std::regex::icase);

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
    recorder.state.kind = static_cast<ScpiPortState::Kind>(seed % 4);
    recorder.state.known = (seed >> 9) & 1;
    recorder.drivable = recorder.state.kind == ScpiPortState::Kind::Real || (recorder.state.kind == ScpiPortState::Kind::Simulated && ((seed >> 8) & 1));
    auto session = ScpiSession::Create(recorder, {"maker", "model", "1"});
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
        recorder.Finish();
        Require(session->Idle() && !session->Waiting(), "a line finishes once the port operations are over");

        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto selected = [&recorder](ScpiPath path) {
            return static_cast<std::size_t>(std::count(recorder.selects.begin(), recorder.selects.end(), path));
        };
        Require(selected(ScpiPath::Rf1) <= Matching(line, kCloseOne), "RF1 selected without a command closing channel 1");
        Require(selected(ScpiPath::Rf2) <= Matching(line, kCloseTwo), "RF2 selected without a command closing channel 2");
        Require(selected(ScpiPath::Off) <= Matching(line, kOpen), "all paths opened without a command to open them");
        Require(recorder.ports <= Matching(line, kPort), "a port taken without a command naming one");
        // Anything but blanks asks for something: an answer, an error, or an effect.
        const bool blank = line.find_first_not_of(" \t\r;") == std::string::npos;
        Require(blank || std::regex_search(line, kSilent) || !answers.empty() || !session->Errors().empty(),
                "a line vanishes without a trace");
        Require(session->Errors().size() <= ScpiSession::kErrorQueueSize, "the error queue outgrows its size");
        session->Feed("*CLS\n");
        recorder.Finish();
    }
    return 0;
}
