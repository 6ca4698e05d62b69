#pragma once

#include <QByteArray>
#include <QString>

namespace vf {

// Windows-1252 (Western European, the code page of the import log and of older INI files).
// Characters that the code page cannot hold become "?".
QByteArray toWindows1252(const QString& text);
QString fromWindows1252(const QByteArray& bytes);

// UTF-8 when the bytes are valid UTF-8, Windows-1252 otherwise.
QString decodeUtf8OrWindows1252(const QByteArray& bytes);

} // namespace vf
