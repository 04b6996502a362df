#include "ScpiLexer.h"

#include <algorithm>
#include <regex>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// `text` cut at each `separator` outside quoted strings (and, when
// `nested`, outside parentheses). False when a string or a parenthesis is
// left open.
bool Split(std::string_view text, char separator, bool nested, std::vector<std::string_view>& parts)
{
    char quote = 0;
    int depth = 0;
    bool balanced = true;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            // A doubled quote closes the string and opens it again.
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (nested && c == '(') {
            ++depth;
        } else if (nested && c == ')') {
            balanced = balanced && depth > 0;
            depth = std::max(depth - 1, 0);
        } else if (c == separator && depth == 0) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return balanced && !quote && depth == 0;
}

// The contents of a quoted string with its doubled quotes made single, or
// false when `text` is not one string.
bool Unquote(std::string_view text, std::string& contents)
{
    const char quote = text.front();
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (text[i] != quote) {
            contents += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == quote) {
            contents += quote;
            ++i;
        } else {
            return i + 1 == text.size();
        }
    }
    return false;
}

ScpiParameter Classify(std::string_view text)
{
    static const std::regex decimal(R"([+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?)");
    static const std::regex nonDecimal(R"(#([hH][0-9a-fA-F]+|[qQ][0-7]+|[bB][01]+))");
    static const std::regex characters(R"([A-Za-z][A-Za-z0-9_]*)");
    using Kind = ScpiParameter::Kind;
    const std::string whole(text);
    ScpiParameter parameter{Kind::Other, whole};
    if (text.front() == '"' || text.front() == '\'') {
        std::string contents;
        if (Unquote(text, contents))
            parameter = {Kind::String, std::move(contents)};
    } else if (text.front() == '(' && text.back() == ')') {
        parameter.kind = Kind::Expression;
    } else if (std::regex_match(whole, decimal)) {
        parameter.kind = Kind::Decimal;
    } else if (std::regex_match(whole, nonDecimal)) {
        parameter.kind = Kind::NonDecimal;
    } else if (std::regex_match(whole, characters)) {
        parameter.kind = Kind::Characters;
    }
    return parameter;
}

ScpiUnit Lex(std::string_view text)
{
    ScpiUnit unit;
    const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte >= 0x20 && byte < 0x7F) || c == '\t';
    });
    if (!printable) {
        unit.error = -101;
        return unit;
    }
    const auto blank = std::find_if(text.begin(), text.end(), IsBlank);
    unit.header.assign(text.begin(), blank);
    const std::string_view rest = Trim(text.substr(unit.header.size()));
    if (rest.empty())
        return unit;
    std::vector<std::string_view> parameters;
    if (!Split(rest, ',', true, parameters)) {
        unit.error = -102;
        return unit;
    }
    for (const std::string_view parameter : parameters) {
        const std::string_view trimmed = Trim(parameter);
        if (trimmed.empty()) {
            unit.error = -102;
            return unit;
        }
        unit.parameters.push_back(Classify(trimmed));
    }
    return unit;
}

} // namespace

std::vector<ScpiUnit> LexMessage(std::string_view line)
{
    std::vector<std::string_view> texts;
    Split(line, ';', false, texts);
    std::vector<ScpiUnit> units;
    for (const std::string_view text : texts) {
        const std::string_view trimmed = Trim(text);
        if (!trimmed.empty())
            units.push_back(Lex(trimmed));
    }
    return units;
}
