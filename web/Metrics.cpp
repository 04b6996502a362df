#include "Metrics.h"

#include "Identity.h"
#include "SwitchCore.h"
#include "SwitchSystem.h"

#include <charconv>
#include <cmath>

namespace {

void AppendEscaped(std::string& out, std::string_view value)
{
    for (const char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

void AppendValue(std::string& out, double value)
{
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    // The shortest text that reads back as the same number.
    char number[32];
    const auto end = std::to_chars(number, number + sizeof number, value).ptr;
    out.append(number, end);
}

} // namespace

MetricsText& MetricsText::Family(std::string_view name, std::string_view type, std::string_view help)
{
    family_ = name;
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    for (const char c : help)
        text_ += c == '\n' ? ' ' : c;
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
    return *this;
}

MetricsText& MetricsText::Sample(Labels labels, double value)
{
    text_ += family_;
    if (labels.size() > 0) {
        char separator = '{';
        for (const auto& [label, text] : labels) {
            text_ += separator;
            text_ += label;
            text_ += "=\"";
            AppendEscaped(text_, text);
            text_ += '"';
            separator = ',';
        }
        text_ += '}';
    }
    text_ += ' ';
    AppendValue(text_, value);
    text_ += '\n';
    return *this;
}

std::string SourceLabel(const Source& source)
{
    if (source.kind != Source::Kind::Remote)
        return SourceName(source);
    // The raw socket names its clients by address alone; every other
    // server puts its protocol first: "vxi11:...", "http:...".
    const std::string& peer = source.peer;
    const auto colon = peer.find(':');
    const auto word = peer.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-");
    // "[::1]:50432", "127.0.0.1:50432", and a bare IPv6 address ("fe80::1").
    if (colon == std::string::npos || colon == 0 || word != colon || peer.find_first_not_of("0123456789abcdef") == colon)
        return "scpi-raw";
    const std::string protocol = peer.substr(0, colon);
    return protocol == "vxi11" ? "vxi-11" : protocol;
}

std::string SwitchMetrics(const SwitchCore& core, const Identity& identity, const OperationCounts& operations,
                          const std::vector<ServerLoad>& servers)
{
    MetricsText out;
    out.Family("rfswitch_info", "gauge", "The switch: maker, model, serial number and version, as *IDN? gives them.")
        .Sample({{"maker", identity.maker}, {"model", identity.model}, {"serial", identity.serial}, {"version", identity.version}}, 1);

    out.Family("rfswitch_operations_total", "counter",
               "Port operations finished since the web server started, by who asked and how they went.");
    for (const auto& [key, count] : operations.Counts())
        out.Sample({{"source", key.first}, {"result", key.second}}, double(count));

    // Each board's series; labelled with the board where several are served.
    std::vector<std::pair<std::string, const SwitchCore*>> boards;
    if (const SwitchSystem* system = core.System(); system && system->Count() > 1)
        for (int board = 1; board <= system->Count(); ++board)
            boards.emplace_back(std::to_string(board), &system->Core(board));
    else
        boards.emplace_back(std::string(), &core);
    // A sample of a board, with the board's label where it has one.
    const auto sample = [&out](const std::string& board, std::string_view name, std::string_view value, double count) {
        if (board.empty())
            out.Sample({{name, value}}, count);
        else
            out.Sample({{"board", board}, {name, value}}, count);
    };
    const auto gauge = [&out](const std::string& board, double value) {
        if (board.empty())
            out.Sample(value);
        else
            out.Sample({{"board", board}}, value);
    };

    // One series per path, 1 for the one the port last read back: "unknown"
    // where the port could not be read since.
    out.Family("rfswitch_path", "gauge", "The path as the port last read it back: 1 for the live one.");
    for (const auto& [board, each] : boards) {
        const auto bits = each->State();
        const std::string_view live = bits ? PathName(*bits) : "unknown";
        for (const std::string_view path : {"off", "rf1", "rf2", "forbidden", "unknown"})
            sample(board, "path", path, path == live ? 1 : 0);
    }

    // The board's own counts, kept across restarts: a counter that is reset
    // only when the switch is replaced (DIAG:REL:CYCL:CLE).
    out.Family("rfswitch_relay_cycles_total", "counter", "Closures of each path of the switch on the port in use, as read back.");
    for (const auto& [board, each] : boards)
        for (const int channel : {1, 2}) {
            const double count = double(each->Cycles().Of(channel));
            const std::string_view number = channel == 1 ? "1" : "2", path = channel == 1 ? "rf1" : "rf2";
            if (board.empty())
                out.Sample({{"channel", number}, {"path", path}}, count);
            else
                out.Sample({{"board", board}, {"channel", number}, {"path", path}}, count);
        }
    out.Family("rfswitch_channel_label", "gauge", "The board's label of a channel, where it has one (ROUT:CHAN:LAB).");
    for (const auto& [board, each] : boards) {
        const ChannelLabels labels = each->Labels();
        for (const int channel : {1, 2}) {
            if (labels.Of(channel).empty())
                continue;
            const std::string_view number = channel == 1 ? "1" : "2", path = channel == 1 ? "rf1" : "rf2";
            if (board.empty())
                out.Sample({{"channel", number}, {"path", path}, {"label", labels.Of(channel)}}, 1);
            else
                out.Sample({{"board", board}, {"channel", number}, {"path", path}, {"label", labels.Of(channel)}}, 1);
        }
    }
    out.Family("rfswitch_relay_cycles_limit", "gauge", "The closures a path is rated for, as set; 0 where no limit is set.");
    for (const auto& [board, each] : boards)
        gauge(board, double(each->Cycles().limit));
    out.Family("rfswitch_settle_time_seconds", "gauge", "How long a switching operation waits after its write for the switch to settle.");
    for (const auto& [board, each] : boards)
        gauge(board, double(each->SettleTime().count()) / 1000);
    out.Family("rfswitch_port_simulated", "gauge", "1 where no board is driven and the simulated port stands in.");
    for (const auto& [board, each] : boards)
        gauge(board, each->Status().IsSimulated() ? 1 : 0);

    out.Family("rfswitch_clients", "gauge", "Clients connected now, per server.");
    for (const ServerLoad& server : servers)
        out.Sample({{"server", server.server}}, server.clients);
    out.Family("rfswitch_errors_queued", "gauge", "SCPI errors waiting in the error queues of a server's sessions.");
    for (const ServerLoad& server : servers)
        if (server.errorsQueued >= 0)
            out.Sample({{"server", server.server}}, server.errorsQueued);

    const auto& holder = core.LockHolder();
    out.Gauge("rfswitch_lock_held", "1 while a client holds the lock, and every other client may only read.", holder ? 1 : 0);
    out.Family("rfswitch_lock_holder", "gauge", "Who holds the lock, while one does.");
    if (holder)
        out.Sample({{"holder", SourceName(*holder)}}, 1);
    return out.Text();
}
