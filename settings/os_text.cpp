#include "settings/os_text.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdint>

namespace korvane {

namespace {

// A byte 0x80 … 0xFF outside UTF-8 is kept as U+DC80 … U+DCFF.
constexpr char16_t kFirstKeptByte = 0xDC80;

// Each byte that is not part of valid UTF-8 as made by keep, the rest decoded.
template <typename Keep>
QString Decoded(const std::string& bytes, Keep keep) {
    QString text;
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = Utf8SequenceLength(bytes, at);
        if (length == 0) {
            text += keep(static_cast<uint8_t>(bytes[at++]));
            continue;
        }
        text += QString::fromUtf8(bytes.data() + at, static_cast<qsizetype>(length));
        at += length;
    }
    return text;
}

}  // namespace

size_t Utf8SequenceLength(const std::string& bytes, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    const uint8_t lead = byte(at);
    size_t length = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool invalid = overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF);
    return invalid ? 0 : length;
}

QString FromOsBytes(const std::string& bytes) {
    return Decoded(bytes,
                   [](uint8_t byte) { return QChar(char16_t(kFirstKeptByte + byte - 0x80)); });
}

QStringList OsArguments(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    return QCoreApplication::arguments();
#else
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << FromOsBytes(argv[i]);
    }
    return arguments;
#endif
}

std::string OsBytes(const QString& text) {
#ifdef _WIN32
    return QFile::encodeName(text).toStdString();
#else
    std::string bytes;
    qsizetype from = 0;
    const auto flush = [&](qsizetype to) { bytes += text.mid(from, to - from).toStdString(); };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        const bool paired = i > 0 && text[i - 1].isHighSurrogate();
        if (unit >= kFirstKeptByte && unit <= kFirstKeptByte + 0x7F && !paired) {
            flush(i);
            bytes += static_cast<char>(unit - kFirstKeptByte + 0x80);
            from = i + 1;
        }
    }
    flush(text.size());
    return bytes;
#endif
}

QString Shown(const std::string& bytes) {
#ifdef _WIN32
    return QString::fromStdString(bytes);
#else
    return Decoded(bytes, [](uint8_t byte) {
        return QStringLiteral("\\x") + QString::number(byte, 16).toUpper();
    });
#endif
}

}  // namespace korvane
