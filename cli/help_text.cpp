#include "cli/help_text.h"

#include <algorithm>

namespace korvane {

namespace {

constexpr int kWidth = 79;
// Help under a longer label starts on the next line, still indented as help2man needs.
constexpr int kWidestLabel = 30;
const QString kTool = QStringLiteral("korvane-flash");

// text in lines of at most kWidth columns, each after indent spaces; the first line's
// start is already taken by first, a label padded to the indent or standing alone on its
// own line when it is wider.
QString Paragraph(const QString& first, const QString& text, int indent) {
    QString result = first;
    if (!first.isEmpty() && first.size() + 2 > indent) {
        result += QLatin1Char('\n');
    }
    QString line;
    const auto flush = [&] {
        const QString prefix = result.isEmpty() || result.endsWith(QLatin1Char('\n'))
                                   ? QString(indent, QLatin1Char(' '))
                                   : QString(indent - result.size(), QLatin1Char(' '));
        result += prefix + line + QLatin1Char('\n');
        line.clear();
    };
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > kWidth) {
            flush();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    flush();
    return result;
}

QString Label(const Option& option) {
    QString label = QStringLiteral("  --") + QLatin1String(option.name);
    if (option.value != nullptr) {
        label += QLatin1Char(' ') + QLatin1String(option.value);
    }
    return label;
}

QString InSynopsis(const Option& option) {
    return QLatin1Char('[') + Label(option).trimmed() + QLatin1Char(']') +
           (option.repeated ? QStringLiteral("...") : QString());
}

QString FormLine(const Command& command, const Form& form) {
    QStringList words = {kTool};
    if (*command.word != '\0') {
        words << QLatin1String(command.word);
    }
    if (form.lead != nullptr) {
        words << Label(*FindOption(command, QLatin1String(form.lead))).trimmed();
    }
    for (const char* name : form.options) {
        words << InSynopsis(*FindOption(command, QLatin1String(name)));
    }
    const QString operands = QLatin1String(form.operands ? form.operands : command.operands);
    if (!operands.isEmpty()) {
        words << operands;
    }
    return words.join(QLatin1Char(' '));
}

// The synopsis as help2man reads it: "Usage:" before the first form, "or:" before the others.
QString UsageLines(const QStringList& forms) {
    QString text;
    for (qsizetype i = 0; i < forms.size(); ++i) {
        text += (i == 0 ? QStringLiteral("Usage: ") : QStringLiteral("  or:  ")) + forms.at(i) +
                QLatin1Char('\n');
    }
    return text;
}

// Every label of the page ends before this column; help starts at it.
int HelpColumn(const Command& command, bool withCommands) {
    qsizetype widest = QStringLiteral("  -v, --version").size();
    for (const OptionGroup& group : command.groups) {
        for (const Option& option : group.options) {
            widest = std::max(widest, Label(option).size());
        }
    }
    if (withCommands) {
        for (const Command& other : Commands()) {
            widest = std::max(widest, QLatin1String(other.word).size() + 2);
        }
    }
    return static_cast<int>(std::min<qsizetype>(widest, kWidestLabel)) + 2;
}

QString CommandList(int column) {
    QString text = QStringLiteral("Commands:\n");
    for (const Command& command : Commands()) {
        if (*command.word != '\0') {
            text += Paragraph(QStringLiteral("  ") + QLatin1String(command.word),
                              QString::fromUtf8(command.summary), column);
        }
    }
    return text + QStringLiteral("\nA command's own options: korvane-flash COMMAND --help.\n\n");
}

QString Groups(const Command& command, int column) {
    QString text;
    for (const OptionGroup& group : command.groups) {
        text += QLatin1String(group.heading) + QStringLiteral(":\n");
        for (const Option& option : group.options) {
            text += Paragraph(Label(option), QString::fromUtf8(option.help), column);
        }
        text += QLatin1Char('\n');
    }
    return text;
}

}  // namespace

QStringList Synopsis(const Command& command) {
    QStringList lines;
    if (command.forms.empty()) {
        Form every;
        for (const OptionGroup& group : command.groups) {
            for (const Option& option : group.options) {
                every.options.push_back(option.name);
            }
        }
        lines << FormLine(command, every);
    }
    for (const Form& form : command.forms) {
        lines << FormLine(command, form);
    }
    return lines;
}

QString HelpPage(const Command& command) {
    const bool tools = *command.word == '\0';
    QStringList forms;
    for (const Command& each : Commands()) {
        if (tools || &each == &command) {
            forms << Synopsis(each);
        }
    }
    const int column = HelpColumn(command, tools);
    QString text = UsageLines(forms) + Paragraph(QString(), QString::fromUtf8(command.about), 0);
    text += QLatin1Char('\n');
    if (tools) {
        text += CommandList(column);
    }
    text +=
        QStringLiteral("Options:\n") +
        Paragraph(QStringLiteral("  -h, --help"),
                  tools ? QStringLiteral("Show this help; after a command, that command's.")
                        : QStringLiteral("Show this help."),
                  column) +
        Paragraph(QStringLiteral("  -v, --version"), QStringLiteral("Show the version."), column) +
        QLatin1Char('\n');
    return text + Groups(command, column);
}

}  // namespace korvane
