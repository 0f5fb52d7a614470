#include "cli/command_line.h"

#include <QCommandLineParser>
#include <algorithm>
#include <vector>

#include "cli/command_table.h"
#include "cli/commands.h"
#include "cli/help_text.h"
#include "res/version.h"

namespace korvane {

namespace {

// Every option of every command, each name once: the parser must read the whole line
// before the command it names is known, wherever the operator put that command's word.
void AddEveryOption(QCommandLineParser& parser) {
    parser.addHelpOption();
    parser.addVersionOption();
    QStringList added;
    for (const Command& command : Commands()) {
        if (command.word[0] == '-') {
            added << QString::fromLatin1(command.word + 2);
            parser.addOption(QCommandLineOption(added.last()));
        }
        for (const OptionGroup& group : command.groups) {
            for (const Option& option : group.options) {
                const QString name = QString::fromLatin1(option.name);
                if (added.contains(name)) {
                    continue;
                }
                added << name;
                parser.addOption(
                    option.value == nullptr
                        ? QCommandLineOption(name)
                        : QCommandLineOption(name, QString(), QString::fromLatin1(option.value)));
            }
        }
    }
}

bool TakesOperands(const Command& command, qsizetype count) {
    return count >= command.fewestOperands &&
           (command.mostOperands < 0 || count <= command.mostOperands);
}

// The command the line names: a command's word first among the operands, else a form
// chosen by its option (--list), else flashing. operands gets what follows the word.
const Command& Chosen(const QCommandLineParser& parser, QStringList& operands) {
    operands = parser.positionalArguments();
    for (const Command& command : Commands()) {
        if (command.word[0] == '\0' || command.word[0] == '-') {
            continue;
        }
        // A command may be named by more than one word ("journal serve").
        const QStringList words = QString::fromLatin1(command.word).split(' ');
        if (operands.mid(0, words.size()) == words &&
            TakesOperands(command, operands.size() - words.size())) {
            operands = operands.mid(words.size());
            return command;
        }
    }
    for (const Command& command : Commands()) {
        if (command.word[0] == '-' && parser.isSet(QString::fromLatin1(command.word + 2))) {
            return command;
        }
    }
    return Commands().front();
}

// An option set that the chosen command has no use for is refused: an option that is
// silently ignored is a setting the operator believes in and does not get.
bool OnlyOptionsOf(const QCommandLineParser& parser, const Command& command, std::FILE* err) {
    for (const QString& name : parser.optionNames()) {
        const bool itsWord = QLatin1String(command.word) == QStringLiteral("--") + name;
        if (!itsWord && FindOption(command, name) == nullptr) {
            Say(err, QStringLiteral("--%1 does not apply to %2 (see --help)")
                         .arg(name, QLatin1String(command.refusedAs)));
            return false;
        }
    }
    return true;
}

// How many letters must be added, dropped, changed or swapped to make one word the other.
qsizetype EditDistance(const QString& a, const QString& b) {
    std::vector<std::vector<qsizetype>> d(
        static_cast<size_t>(a.size() + 1),
        std::vector<qsizetype>(static_cast<size_t>(b.size() + 1)));
    for (qsizetype i = 0; i <= a.size(); ++i) {
        for (qsizetype j = 0; j <= b.size(); ++j) {
            auto& here = d[static_cast<size_t>(i)][static_cast<size_t>(j)];
            if (i == 0 || j == 0) {
                here = i + j;
                continue;
            }
            const auto at = [&d](qsizetype x, qsizetype y) {
                return d[static_cast<size_t>(x)][static_cast<size_t>(y)];
            };
            here = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1,
                             at(i - 1, j - 1) + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                here = std::min(here, at(i - 2, j - 2) + 1);
            }
        }
    }
    return d.back().back();
}

// The option the operator most likely meant by an unknown name: one it begins, else the
// nearest within a slip or two. Empty when none is that near.
QString NearestOption(const QString& unknown) {
    QStringList names = {QStringLiteral("help"), QStringLiteral("version")};
    for (const Command& command : Commands()) {
        for (const OptionGroup& group : command.groups) {
            for (const Option& option : group.options) {
                names << QString::fromLatin1(option.name);
            }
        }
    }
    QString nearest;
    qsizetype best = 1 + unknown.size() / 4;
    for (const QString& name : names) {
        const qsizetype distance =
            unknown.size() >= 2 && name.startsWith(unknown) ? 0 : EditDistance(unknown, name);
        if (distance < best || (distance == best && nearest.isEmpty())) {
            best = distance;
            nearest = name;
        }
    }
    return nearest;
}

void SayParseError(const QCommandLineParser& parser, std::FILE* err) {
    if (parser.unknownOptionNames().isEmpty()) {
        Say(err, parser.errorText());
        return;
    }
    const QString unknown = parser.unknownOptionNames().first();
    const QString dashes = unknown.size() == 1 ? QStringLiteral("-") : QStringLiteral("--");
    const QString nearest = NearestOption(unknown);
    Say(err, nearest.isEmpty()
                 ? QStringLiteral("unknown option %1%2 (see --help)").arg(dashes, unknown)
                 : QStringLiteral("unknown option %1%2; did you mean --%3?")
                       .arg(dashes, unknown, nearest));
}

}  // namespace

int RunCommandLine(const QStringList& arguments, std::FILE* out, std::FILE* err) {
    QCommandLineParser parser;
    AddEveryOption(parser);
    if (!parser.parse(arguments)) {
        SayParseError(parser, err);
        return kExitUsage;
    }
    QStringList operands;
    const Command& command = Chosen(parser, operands);
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(HelpPage(command).toUtf8().constData(), out);
        return kExitSucceeded;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::fprintf(out, "korvane-flash %s\n", KORVANE_VERSION);
        return kExitSucceeded;
    }
    if (!OnlyOptionsOf(parser, command, err)) {
        return kExitUsage;
    }
    return command.run(Invocation{parser, operands, out, err});
}

}  // namespace korvane
