// korvane-flash: flashes a package from the command line with the same engine, profile
// and sequence-number counter as the window; also lists and builds packages.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"
#include "cli/terminal_text.h"

using namespace korvane;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("korvane-flash");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Writes a package into an STM32F10x device through its serial bootloader.\n\n"
        "  korvane-flash [--port COMn|DEVICE] [--sn N] [--trace] PACKAGE\n"
        "  korvane-flash --list PACKAGE\n"
        "  korvane-flash pack OUTPUT NAME=FILE ...");
    parser.addHelpOption();
    const QCommandLineOption portOption(
        "port",
        "Serial port: COM1 … COM8 (mapped as the window maps them) or a device path. "
        "Default: the port saved in the profile.",
        "COMn|DEVICE");
    const QCommandLineOption snOption(
        "sn", "Sequence number of this device (1 … 99999). Default: the profile's.", "N");
    const QCommandLineOption traceOption("trace", "Show every byte sent on standard error.");
    const QCommandLineOption listOption("list",
                                        "List the package's directory instead of flashing.");
    parser.addOptions({portOption, snOption, traceOption, listOption});
    parser.addPositionalArgument("PACKAGE", "The package file (or: pack OUTPUT NAME=FILE ...).");

    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "korvane-flash: %s\n",
                     TerminalSafe(parser.errorText().toLocal8Bit().toStdString()).c_str());
        return kExitUsage;
    }
    if (parser.isSet("help")) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return kExitSucceeded;
    }
    const QStringList arguments = parser.positionalArguments();
    if (!arguments.isEmpty() && arguments.first() == "pack") {
        if (arguments.size() < 3) {
            std::fprintf(stderr, "korvane-flash: usage: korvane-flash pack OUTPUT NAME=FILE ...\n");
            return kExitUsage;
        }
        return PackCommand(arguments.at(1), arguments.mid(2), stdout, stderr);
    }
    if (arguments.size() != 1) {
        std::fprintf(stderr, "korvane-flash: give exactly one package (see --help)\n");
        return kExitUsage;
    }
    if (parser.isSet(listOption)) {
        return ListCommand(arguments.first(), stdout, stderr);
    }

    FlashOptions options;
    options.packagePath = arguments.first();
    options.port = parser.value(portOption);
    if (parser.isSet(snOption)) {
        bool ok = false;
        const int sn = parser.value(snOption).toInt(&ok);
        if (!ok) {
            std::fprintf(stderr, "korvane-flash: --sn takes a number, not '%s'\n",
                         TerminalSafe(parser.value(snOption).toLocal8Bit().toStdString()).c_str());
            return kExitUsage;
        }
        options.sequenceNumber = sn;
    }
    if (parser.isSet(traceOption)) {
        qputenv("KORVANE_TRACE", "-");
    }
    return FlashCommand(options, stdout, stderr);
}
