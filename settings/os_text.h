// Text as the operating system gives it and takes it. On Linux a file name, an argument
// and a line for the terminal are bytes, and nothing makes them UTF-8: a name copied from
// another system, or made under another locale, may hold bytes that are not. Decoded as
// UTF-8 they would be lost, and a path that can no longer be opened is the result.
//
// FromOsBytes keeps each such byte in the QString as an unpaired low surrogate (U+DC00 plus
// the byte), which no decoded character can be, and OsBytes gives it back, so that a path
// passes through the program's QStrings unchanged. Shown writes such bytes as \xNN for
// the window and the journal. On Windows, where names are UTF-16, OsBytes gives the local
// code page that the C library's file functions take, and Shown reads UTF-8 as it is.
#pragma once

#include <QString>
#include <QStringList>
#include <string>

namespace korvane {

// The length of the valid UTF-8 sequence at bytes[at]: 1 for ASCII, 0 for a byte that
// starts none (a stray or overlong byte, an encoded surrogate, one past U+10FFFF).
size_t Utf8SequenceLength(const std::string& bytes, size_t at);

// The bytes as a QString that OsBytes turns back into the same bytes.
QString FromOsBytes(const std::string& bytes);

// The program's arguments, each as FromOsBytes makes it (on Windows, as the application
// object has them, since they come as UTF-16). Call it once the application object exists.
QStringList OsArguments(int argc, char** argv);

// The bytes the operating system takes for text: a path to open, a line to print.
std::string OsBytes(const QString& text);

// Bytes from the operating system as readable text: what is UTF-8 as it is, every other
// byte as \xNN.
QString Shown(const std::string& bytes);

}  // namespace korvane
