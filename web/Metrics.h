#pragma once

// The switch for Prometheus: the text exposition format (version 0.0.4)
// that GET /metrics answers, and the figures it is made of.

#include "ServerLoad.h"
#include "SwitchTypes.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class SwitchCore;
struct Identity;

// Writes metric families one after the other: each family's HELP and TYPE
// lines, then its samples. Label values are escaped as the format wants.
class MetricsText
{
public:
    using Labels = std::initializer_list<std::pair<std::string_view, std::string_view>>;

    // "counter", "gauge" or "info"-style gauges alike.
    MetricsText& Family(std::string_view name, std::string_view type, std::string_view help);
    // One sample of the family begun last.
    MetricsText& Sample(Labels labels, double value);
    MetricsText& Sample(double value) { return Sample({}, value); }
    // A family with one sample and no labels.
    MetricsText& Gauge(std::string_view name, std::string_view help, double value)
    {
        return Family(name, "gauge", help).Sample(value);
    }

    const std::string& Text() const { return text_; }

private:
    std::string text_;
    std::string family_;
};

// The source as a label: "panel", "command-line", "start-up", "port-watch",
// or the protocol of a remote client: "scpi-raw", "vxi-11", "http", "hislip".
std::string SourceLabel(const Source& source);

// Switch operations counted by source and outcome since the count began.
class OperationCounts
{
public:
    void Count(const Source& source, Outcome outcome) { ++counts_[{SourceLabel(source), OutcomeName(outcome)}]; }
    // By (source, result); sorted, so that a scrape lists them alike each time.
    const std::map<std::pair<std::string, const char*>, std::uint64_t>& Counts() const { return counts_; }

private:
    std::map<std::pair<std::string, const char*>, std::uint64_t> counts_;
};

// Every metric of the switch, as GET /metrics answers it.
std::string SwitchMetrics(const SwitchCore& core, const Identity& identity, const OperationCounts& operations,
                          const std::vector<ServerLoad>& servers);
