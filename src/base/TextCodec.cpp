#include "base/TextCodec.h"

#include <QStringDecoder>

namespace vf {
namespace {

// Code points of bytes 0x80 to 0x9F; 0 marks the five bytes that the code page leaves undefined.
constexpr char16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

} // namespace

QByteArray toWindows1252(const QString& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        // The five bytes that the code page leaves undefined read as U+0081 ... and go back
        // to the same byte, so that decoding and encoding again changes nothing.
        const bool undefinedByte = c >= 0x80 && c < 0xA0 && kHigh[c - 0x80] == 0;
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) || undefinedByte) {
            out.append(char(c));
            continue;
        }
        char byte = '?';
        for (int k = 0; k < 32; ++k) {
            if (kHigh[k] != 0 && kHigh[k] == c) {
                byte = char(0x80 + k);
                break;
            }
        }
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i; // one "?" for the whole character
        out.append(byte);
    }
    return out;
}

QString fromWindows1252(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const unsigned char b = static_cast<unsigned char>(ch);
        if (b >= 0x80 && b < 0xA0)
            out.append(QChar(kHigh[b - 0x80] != 0 ? kHigh[b - 0x80] : char16_t(b)));
        else
            out.append(QChar(char16_t(b)));
    }
    return out;
}

QString decodeUtf8OrWindows1252(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (!decoder.hasError())
        return text;
    return fromWindows1252(bytes);
}

} // namespace vf
