#include "CommandLine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <sstream>
#include <system_error>

#include "Paths.h"

namespace Quorvel::Merger {

namespace {

struct Range {
    double lowest;
    double highest;
};

template <class T>
Range rangeOf()
{
    return {static_cast<double>(std::numeric_limits<T>::lowest()),
            static_cast<double>(std::numeric_limits<T>::max())};
}

Range typeRange(OptionType type)
{
    switch (type) {
    case OptionType::Bool: return {0.0, 1.0};
    case OptionType::Char: return rangeOf<char>();
    case OptionType::UnsignedChar: return rangeOf<unsigned char>();
    case OptionType::Short: return rangeOf<short>();
    case OptionType::UnsignedShort: return rangeOf<unsigned short>();
    case OptionType::Int: return rangeOf<int>();
    case OptionType::UnsignedInt: return rangeOf<unsigned int>();
    case OptionType::Long: return rangeOf<long>();
    case OptionType::UnsignedLong: return rangeOf<unsigned long>();
    case OptionType::Float: return rangeOf<float>();
    default: return rangeOf<double>();
    }
}

bool isNumeric(OptionType type)
{
    return type >= OptionType::Bool && type <= OptionType::Double;
}

template <class T>
bool extract(const std::string& text, double& value)
{
    std::istringstream in(text);
    T v{};
    if (!(in >> v))
        return false;
    value = static_cast<double>(v);
    return true;
}

// A bound is read as the option's own type, as far as the text goes.
bool readBound(OptionType type, const std::string& text, double& value)
{
    switch (type) {
    case OptionType::Bool:
    case OptionType::Char:
    case OptionType::Short: return extract<short>(text, value);
    case OptionType::UnsignedChar:
    case OptionType::UnsignedShort: return extract<unsigned short>(text, value);
    case OptionType::Int: return extract<int>(text, value);
    case OptionType::UnsignedInt: return extract<unsigned int>(text, value);
    case OptionType::Long: return extract<long>(text, value);
    case OptionType::UnsignedLong: return extract<unsigned long>(text, value);
    case OptionType::Float: return extract<float>(text, value);
    default: return extract<double>(text, value);
    }
}

// The whole argument must be a number; trailing text makes it invalid.
bool readArgument(const std::string& text, double& value)
{
    std::istringstream in(text);
    if (!(in >> value))
        return false;
    in >> std::ws;
    return in.eof() && !std::isnan(value);
}

} // namespace

const char* optionTypeName(OptionType type)
{
    static const char* const names[] = {"NOTYPE", "bool",         "char",   "unsigned char", "short",
                                        "unsigned short", "int",  "unsigned int", "long", "unsigned long",
                                        "float",  "double",       "string", "file",          "directory"};
    const int index = static_cast<int>(type);
    return index >= 0 && index < 15 ? names[index] : names[0];
}

std::vector<std::string> splitAtCommas(const std::string& text)
{
    std::vector<std::string> parts;
    size_t begin = 0;
    for (;;) {
        const size_t comma = text.find(',', begin);
        if (comma == std::string::npos) {
            parts.push_back(text.substr(begin));
            return parts;
        }
        parts.push_back(text.substr(begin, comma - begin));
        begin = comma + 1;
    }
}

void CommandLine::add(OptionDefinition definition)
{
    options_.push_back({std::move(definition), {}});
}

CommandLine::Option* CommandLine::find(const std::string& name)
{
    for (Option& option : options_)
        if (!option.definition.positional &&
            std::find(option.definition.names.begin(), option.definition.names.end(), name) != option.definition.names.end())
            return &option;
    return nullptr;
}

const CommandLine::Option* CommandLine::find(const std::string& name) const
{
    for (const Option& option : options_)
        if (std::find(option.definition.names.begin(), option.definition.names.end(), name) != option.definition.names.end())
            return &option;
    return nullptr;
}

void CommandLine::addUnrecognised(const std::string& token)
{
    if (std::find(unrecognised_.begin(), unrecognised_.end(), token) == unrecognised_.end())
        unrecognised_.push_back(token);
}

void CommandLine::consume(Option& option, int& index, int argc, const char* const* argv)
{
    Occurrence occurrence;
    if (option.definition.argumentCount != 0 && index + 1 < argc) {
        ++index;
        occurrence.hasList = true;
        occurrence.arguments = splitAtCommas(argv[index]);
    }
    option.occurrences.push_back(std::move(occurrence));
}

bool CommandLine::parse(int argc, const char* const* argv, std::ostream& out)
{
    for (Option& option : options_)
        option.occurrences.clear();
    unrecognised_.clear();
    if (argc < 2 || argv == nullptr) {
        out << "Invalid optoin number\n";
        return false;
    }

    size_t positionalTaken = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string token = argv[i] ? argv[i] : "";
        if (token.size() >= 2 && token.compare(0, 2, "--") == 0) {
            if (Option* option = find(token))
                consume(*option, i, argc, argv);
            else
                addUnrecognised(token);
        } else if (!token.empty() && token[0] == '-') {
            for (size_t letter = 1; letter < token.size(); ++letter) {
                const std::string flag = std::string("-") + token[letter];
                if (Option* option = find(flag))
                    consume(*option, i, argc, argv);
                else
                    addUnrecognised(flag);
            }
        } else {
            size_t seen = 0;
            Option* target = nullptr;
            for (Option& option : options_)
                if (option.definition.positional && seen++ == positionalTaken) {
                    target = &option;
                    break;
                }
            if (target) {
                ++positionalTaken;
                target->occurrences.push_back({true, splitAtCommas(token)});
            } else {
                addUnrecognised(token);
            }
        }
    }

    const std::string programName = argv[0] ? argv[0] : "";
    for (const Option& option : options_)
        if (option.definition.names.front() == "-h" && !option.occurrences.empty()) {
            out << helpText(programName) << "\n";
            return false;
        }

    std::string report;
    bool failed = false;
    for (const Option& option : options_)
        if (option.definition.required && option.occurrences.empty()) {
            report += "ERROR: Argument " + option.definition.names.front() + " must be set.\n";
            failed = true;
        }
    for (const Option& option : options_) {
        const int expected = option.definition.argumentCount;
        for (const Occurrence& occurrence : option.occurrences) {
            const bool countWrong = expected == 0 ? occurrence.hasList
                                  : !occurrence.hasList ||
                                        (expected > 0 && occurrence.arguments.size() != static_cast<size_t>(expected));
            if (countWrong) {
                report += "ERROR: Got unexpected number of arguments for option " + option.definition.names.front() + ".\n";
                failed = true;
                break;
            }
        }
    }
    for (const Option& option : options_)
        for (const Occurrence& occurrence : option.occurrences)
            for (const std::string& argument : occurrence.arguments)
                if (!valueValid(option.definition, argument)) {
                    report += "ERROR: Got invalid argument \"" + argument + "\" for option " +
                              option.definition.names.front() + ".\n";
                    failed = true;
                }
    for (const std::string& token : unrecognised_)
        report += "WARNING: Got unknown argument:" + token + ".\n";
    if (failed && !report.empty())
        report += "\n" + helpText(programName);
    out << report << "\n";
    return !failed;
}

bool CommandLine::valueValid(const OptionDefinition& definition, const std::string& argument) const
{
    // An empty value of a required option (an output path) is as good as none.
    if (definition.required && argument.empty())
        return false;
    if (isNumeric(definition.type)) {
        const Range range = typeRange(definition.type);
        double low = range.lowest;
        double high = range.highest;
        if (!definition.minText.empty() && !readBound(definition.type, definition.minText, low))
            low = range.lowest;
        if (!definition.maxText.empty() && !readBound(definition.type, definition.maxText, high))
            high = range.highest;
        double value = 0.0;
        return readArgument(argument, value) && value >= low && value <= high;
    }
    std::error_code ec;
    switch (definition.type) {
    case OptionType::File: return !argument.empty() && std::filesystem::exists(typedPath(argument), ec);
    case OptionType::Directory: return !argument.empty() && std::filesystem::is_directory(typedPath(argument), ec);
    case OptionType::String:
        return definition.allowedValues.empty() ||
               std::find(definition.allowedValues.begin(), definition.allowedValues.end(), argument) != definition.allowedValues.end();
    default: return true;
    }
}

bool CommandLine::isSet(const std::string& name) const
{
    const Option* option = find(name);
    return option && !option->occurrences.empty();
}

std::vector<std::string> CommandLine::values(const std::string& name) const
{
    const Option* option = find(name);
    if (!option)
        return {};
    if (!option->occurrences.empty())
        return option->occurrences.front().arguments;
    return splitAtCommas(option->definition.defaultText);
}

std::string CommandLine::argumentPattern(const OptionDefinition& definition)
{
    std::string pattern;
    // push_back rather than assigning " ": GCC 12 at -O3 warns falsely about
    // the assignment of a short literal (-Wrestrict).
    if (definition.argumentCount == 1 && !definition.allowedValues.empty()) {
        pattern.push_back(' ');
        for (size_t i = 0; i < definition.allowedValues.size(); ++i)
            pattern += (i ? "|" : "") + definition.allowedValues[i];
    } else if (definition.argumentCount == 1) {
        pattern = " Arg";
    } else if (definition.argumentCount < 0) {
        pattern = " Arg0,[ArgN]";
    } else if (definition.argumentCount > 1) {
        pattern.push_back(' ');
        for (int i = 0; i < definition.argumentCount; ++i)
            pattern += (i ? ",Arg" : "Arg") + std::to_string(i);
    }
    if (definition.positional)
        pattern = "(" + pattern + " )";
    return pattern;
}

std::string CommandLine::helpText(const std::string& programName) const
{
    std::string text = "NAME: \n\n    " + overview_ + "\n\n";
    text += "USAGE: \n\n    " + programName + " ";
    for (const Option& option : options_) {
        const std::string usage = option.definition.names.front() + argumentPattern(option.definition);
        text += (option.definition.required ? usage : "[" + usage + "]") + " ";
    }
    text += "\n\nOPTIONS:\n\n";
    for (const Option& option : options_) {
        text += "    ";
        for (const std::string& name : option.definition.names)
            text += name + " ";
        text += argumentPattern(option.definition) + ":\n        ";
        if (option.definition.type != OptionType::NoType)
            text += std::string("[") + optionTypeName(option.definition.type) + "] ";
        text += option.definition.description + "\n";
    }
    if (!example_.empty())
        text += "\n\nEXAMPLES:\n\n    " + example_;
    if (!notes_.empty())
        text += "\n\nNotes:\n\n    " + notes_ + "\n";
    return text;
}

} // namespace Quorvel::Merger
