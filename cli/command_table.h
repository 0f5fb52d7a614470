// The tool's command line as one table: every command with the options it takes, each
// option in its group with its help. Parsing, the help pages, the synopsis and the manual
// page all read this table, so an option cannot be accepted without being documented, nor
// documented for a command that refuses it.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <optional>
#include <vector>

namespace korvane {

struct Option {
    const char* name;   // without its dashes
    const char* value;  // the value's name in the help; nullptr for a switch
    const char* help;
    bool repeated = false;  // may be given more than once
};

// Options under one heading of a command's help ("Numbering options:").
struct OptionGroup {
    const char* heading;
    std::vector<Option> options;
};

// One way of calling a command, a line of the synopsis: its leading option (--leases),
// the options it takes (none listed: every option of the command) and its operands.
struct Form {
    const char* lead = nullptr;
    std::vector<const char*> options;
    const char* operands = nullptr;  // nullptr: the command's
};

// A command as the tool was called for it: the parsed options and the operands after the
// command's word.
struct Invocation {
    const QCommandLineParser& parser;
    QStringList operands;
    std::FILE* out;
    std::FILE* err;

    bool IsSet(const char* name) const { return parser.isSet(QString::fromLatin1(name)); }
    QString Value(const char* name) const { return parser.value(QString::fromLatin1(name)); }
    std::optional<QString> Given(const char* name) const {
        return IsSet(name) ? std::optional<QString>(Value(name)) : std::nullopt;
    }
};

struct Command {
    // The word that names it ("journal"); an option's name with its dashes ("--list") for
    // a form chosen by that option; empty for flashing, the tool's first purpose.
    const char* word;
    const char* summary;    // one line in the list of commands
    const char* about;      // the paragraph under the synopsis in its help
    const char* operands;   // as the synopsis shows them
    int fewestOperands;     // operands after the word, below which the word is not this command
    int mostOperands;       // -1: no limit
    const char* refusedAs;  // how "--x does not apply to …" names it
    std::vector<OptionGroup> groups;
    std::vector<Form> forms;  // none listed: one form with every option
    int (*run)(const Invocation&);
};

// The commands, flashing first.
const std::vector<Command>& Commands();

// The option of the command with this name, or nullptr.
const Option* FindOption(const Command& command, const QString& name);

}  // namespace korvane
