#pragma once

// Splits one SCPI program message into its units and their parameters, the
// way IEEE 488.2 lays them out: ';' between units, blanks between a header
// and its parameters, ',' between parameters; none of these count inside a
// quoted string or between parentheses.

#include <string>
#include <string_view>
#include <vector>

struct ScpiParameter
{
    enum class Kind
    {
        Decimal,     // 888, +1.5, 1E3
        NonDecimal,  // #H378, #Q1570, #B1101111000
        String,      // "..." or '...'; `text` holds it unquoted
        Expression,  // (...): a channel list is (@...)
        Characters,  // a mnemonic: MAX, ON
        Other,       // none of these, e.g. 888abc or the address box's &H378
    };
    Kind kind = Kind::Other;
    std::string text;  // as sent, blanks around it trimmed
};

struct ScpiUnit
{
    std::string header;  // as sent
    std::vector<ScpiParameter> parameters;
    int error = 0;       // a fault in its layout (-101, -102), 0 for none
};

// The units of one line, blank ones left out.
std::vector<ScpiUnit> LexMessage(std::string_view line);
