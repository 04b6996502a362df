#include "BoardModel.h"

#include <algorithm>

namespace {

std::uint8_t Bit(int bit)
{
    return static_cast<std::uint8_t>(1u << bit);
}

bool SameLetters(std::string_view a, std::string_view b)
{
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return upper(x) == upper(y); });
}

} // namespace

std::uint8_t BoardModel::Register(ControlBits bits) const
{
    return static_cast<std::uint8_t>((bits.c1 ? Bit(c1Bit) : 0) | (bits.c2 ? Bit(c2Bit) : 0));
}

ControlBits BoardModel::Lines(std::uint8_t value) const
{
    return {(value & Bit(c1Bit)) != 0, (value & Bit(c2Bit)) != 0};
}

std::uint8_t BoardModel::Used() const
{
    return Register({true, true});
}

const BoardModel& Qtr7Board()
{
    static const BoardModel model{
        "QTR7-415KM",
        0,
        1,
        {{
            {{{1900, 800, 2300, 800}, {1680, 1250, 2160, 1350}, {3250, 1230, 2880, 1320}}},  // all terminated
            {{{1900, 750, 2350, 600}, {1680, 1250, 2160, 1080}, {3250, 1230, 2880, 1320}}},  // RF COMMON to RF1
            {{{1680, 1250, 2160, 1350}, {1900, 750, 2350, 600}, {3360, 1250, 2760, 1080}}},  // RF COMMON to RF2
        }},
    };
    return model;
}

const std::vector<const BoardModel*>& KnownModels()
{
    static const std::vector<const BoardModel*> models{&Qtr7Board()};
    return models;
}

const BoardModel* ModelNamed(std::string_view name)
{
    const auto& models = KnownModels();
    const auto found = std::find_if(models.begin(), models.end(), [name](const BoardModel* model) { return SameLetters(model->name, name); });
    return found == models.end() ? nullptr : *found;
}
