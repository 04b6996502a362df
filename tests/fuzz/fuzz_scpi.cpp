// libFuzzer harness for the SCPI command layer: any bytes are what a client
// might send. A recording instrument stands in for the switch; some of its
// operations come back at once, some later, as the core's do. The first
// input that breaks a property aborts with the property and the line.
#include "ScpiSession.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string_view current;

void Require(bool holds, const char* property)
{
    if (holds)
        return;
    std::fprintf(stderr, "property violated: %s\nline (%zu bytes):", property, current.size());
    for (unsigned char c : current)
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

class Recorder final : public ScpiInstrument
{
public:
    explicit Recorder(std::uint64_t seed) : seed_(seed | 1) {}

    ScpiPortState State() const override { return state; }
    void Select(ScpiPath path, Done done) override
    {
        selects.push_back(path);
        Later([this, path, done] {
            state.c1 = path == ScpiPath::Rf1;
            state.c2 = path == ScpiPath::Rf2;
            done({});
        });
    }
    void SetPort(std::int32_t address, Done done) override
    {
        Require(address >= 1, "an address below 1 reaches the port");
        ports.push_back(address);
        Later([this, address, done] {
            state.address = address;
            done({});
        });
    }
    void WhenIdle(std::function<void()> then) override { Later(std::move(then)); }

    // Runs what is still waiting, in the order asked, as the core does.
    void Finish()
    {
        while (!pending_.empty()) {
            auto next = std::move(pending_.front());
            pending_.erase(pending_.begin());
            next();
        }
    }

    ScpiPortState state{ScpiPortState::Kind::Real, "", 888, false, false};
    std::vector<ScpiPath> selects;
    std::vector<std::int32_t> ports;

private:
    void Later(std::function<void()> work)
    {
        seed_ = seed_ * 6364136223846793005u + 1442695040888963407u;
        if (pending_.empty() && (seed_ >> 63))
            work();
        else
            pending_.push_back(std::move(work));
    }

    std::uint64_t seed_;
    std::vector<std::function<void()>> pending_;
};

// A second opinion on what may reach the port: units that, read loosely,
// name a routing command, a reset or a port change. Headers after the first
// unit may be relative, so the root node is optional here.
const std::regex kCloseOne(R"(^[ \t]*(:?ROUTE?:)?CLOSE?[ \t]+\([ \t]*@[ \t01:,]*\)[ \t]*$)", std::regex::icase);
const std::regex kCloseTwo(R"(^[ \t]*(:?ROUTE?:)?CLOSE?[ \t]+\([ \t]*@[ \t02:,]*\)[ \t]*$)", std::regex::icase);
const std::regex kOpen(R"(^[ \t]*((:?ROUTE?:)?OPEN([ \t]+\(.*\)|:ALL)|\*RST)[ \t]*$)", std::regex::icase);
const std::regex kSilent(R"(\*(RST|CLS|WAI|OPC)|ROUT|SYST)", std::regex::icase);
const std::regex kPort(R"(^[ \t]*(:?SYST(EM)?:)?PORT[ \t]+.*$)", std::regex::icase);

std::vector<std::string> Units(std::string_view line)
{
    std::vector<std::string> units(1);
    for (char c : line) {
        if (c == ';')
            units.emplace_back();
        else
            units.back() += c;
    }
    return units;
}

std::size_t Matching(const std::vector<std::string>& units, const std::regex& pattern)
{
    std::size_t n = 0;
    for (const std::string& unit : units)
        n += std::regex_match(unit, pattern) ? 1 : 0;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::uint64_t seed = std::hash<std::string_view>{}(input);
    Recorder recorder(seed);
    recorder.state.kind = static_cast<ScpiPortState::Kind>(seed % 4);
    const bool allowSimulated = (seed >> 8) & 1;
    auto session = ScpiSession::Create(recorder, {allowSimulated, "maker", "model", "1"});
    std::string answers;
    session->SetOutput([&answers](std::string_view answer) {
        Require(!answer.empty() && answer.back() == '\n' && answer.find('\n') == answer.size() - 1,
                "an answer is one line ending in LF");
        answers += answer;
    });

    // One line at a time, so that what each does can be told apart.
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos)
            end = input.size();
        std::string line(input.substr(start, end - start));
        current = line;
        start = end + 1;

        answers.clear();
        recorder.selects.clear();
        recorder.ports.clear();
        const ScpiPortState before = recorder.state;
        session->Feed(line + "\n");
        recorder.Finish();
        Require(session->Idle() && !session->Waiting(), "a line finishes once the port operations are over");

        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::vector<std::string> units = Units(line);
        const bool drivable = before.kind == ScpiPortState::Kind::Real
            || (before.kind == ScpiPortState::Kind::Simulated && allowSimulated);
        std::size_t ones = 0, twos = 0, offs = 0;
        for (const ScpiPath path : recorder.selects)
            (path == ScpiPath::Rf1 ? ones : path == ScpiPath::Rf2 ? twos : offs) += 1;
        Require(drivable || recorder.selects.empty(), "an undriven port is switched");
        Require(ones <= Matching(units, kCloseOne), "RF1 selected without a command closing channel 1");
        Require(twos <= Matching(units, kCloseTwo), "RF2 selected without a command closing channel 2");
        Require(offs <= Matching(units, kOpen), "all paths opened without a command to open them");
        Require(recorder.ports.size() <= Matching(units, kPort), "a port taken without a command naming one");

        // Anything but blanks asks for something: an answer, an error, or an effect.
        const bool blank = line.find_first_not_of(" \t\r;") == std::string::npos;
        const bool silentForm = std::regex_search(line, kSilent);
        Require(blank || silentForm || !answers.empty() || !session->Errors().empty(), "a line vanishes without a trace");
        Require(session->Errors().size() <= ScpiSession::kErrorQueueSize, "the error queue outgrows its size");
        session->Feed("*CLS\n");
        recorder.Finish();
    }
    return 0;
}
