#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// The merger's command-line parser: flags, long options and positional
// arguments, each with a type, a default, bounds and a help text.
namespace Quorvel::Merger {

// The type shown in the help text and used for the value check.
enum class OptionType : int {
    NoType = 0,
    Bool,
    Char,
    UnsignedChar,
    Short,
    UnsignedShort,
    Int,
    UnsignedInt,
    Long,
    UnsignedLong,
    Float,
    Double,
    String,
    File,
    Directory
};

const char* optionTypeName(OptionType type);

struct OptionDefinition {
    std::vector<std::string> names; // the first is the one messages show
    int argumentCount = 0;          // -1: any number
    OptionType type = OptionType::NoType;
    std::string defaultText;
    std::string minText; // empty: the type's lowest finite value
    std::string maxText; // empty: the type's highest finite value
    std::string description;
    bool required = false;
    bool positional = false;
    std::vector<std::string> allowedValues;
};

class CommandLine {
public:
    void setOverview(std::string text) { overview_ = std::move(text); }
    void setExample(std::string text) { example_ = std::move(text); }
    void setNotes(std::string text) { notes_ = std::move(text); }
    void add(OptionDefinition definition);

    // Reads argv, writes the parser's report (or the help) to `out` and
    // returns true when no error was found and no help was asked for.
    bool parse(int argc, const char* const* argv, std::ostream& out);

    bool isSet(const std::string& name) const;
    // The first argument list given for the option, or its default split at
    // commas when it was not given.
    std::vector<std::string> values(const std::string& name) const;
    // Tokens that matched no option, each once, in order of appearance.
    const std::vector<std::string>& unrecognised() const { return unrecognised_; }

    std::string helpText(const std::string& programName) const;

private:
    struct Occurrence {
        bool hasList = false;
        std::vector<std::string> arguments;
    };
    struct Option {
        OptionDefinition definition;
        std::vector<Occurrence> occurrences;
    };

    Option* find(const std::string& name);
    const Option* find(const std::string& name) const;
    void consume(Option& option, int& index, int argc, const char* const* argv);
    void addUnrecognised(const std::string& token);
    bool valueValid(const OptionDefinition& definition, const std::string& argument) const;
    static std::string argumentPattern(const OptionDefinition& definition);

    std::vector<Option> options_;
    std::vector<std::string> unrecognised_;
    std::string overview_;
    std::string example_;
    std::string notes_;
};

// Splits at every comma; an empty text gives one empty item.
std::vector<std::string> splitAtCommas(const std::string& text);

} // namespace Quorvel::Merger
