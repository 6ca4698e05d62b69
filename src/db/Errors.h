#pragma once

#include <QString>
#include <stdexcept>

namespace vf {

// A failure of the database layer or of a file operation, carrying the message that the
// program shows after its own fixed French text ("Erreur : " + message, ...).
class Error : public std::runtime_error {
public:
    explicit Error(const QString& message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString& message() const noexcept { return m_message; }

private:
    QString m_message;
};

// The line that gives an error's own message after the program's sentence about it; the
// command line shows error boxes the same way.
inline const QString kErrorPrefix = QStringLiteral("Erreur : ");

// Thrown when the program must end at once, without its close-time steps: a link table that
// cannot be created, or "Yes" to the low-memory question. Front ends catch it and quit.
struct ProgramTermination {
    QString reason;
};

} // namespace vf
