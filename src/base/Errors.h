#pragma once

#include <QString>
#include <stdexcept>

namespace vf {

// A failure of the database layer or of a file operation, carrying the message that the
// program shows after its own fixed French text ("Erreur : " + message, ...).
// A destination error also carries the driver's SQLSTATE (empty when there is none).
class Error : public std::runtime_error {
public:
    explicit Error(const QString& message, QString sqlState = QString())
        : std::runtime_error(message.toStdString()), m_message(message), m_sqlState(std::move(sqlState)) {}
    const QString& message() const noexcept { return m_message; }
    const QString& sqlState() const noexcept { return m_sqlState; }

private:
    QString m_message;
    QString m_sqlState;
};

// The destination connection is lost: the link to the server failed (SQLSTATE class 08, or the
// driver's own "connection lost"), or a statement got no answer within the query timeout. It is
// not a refused record, and on purpose no vf::Error, so that no record's handling takes it for
// one: it ends the run.
struct ConnectionLost {
    QString message;  // the driver's message
    QString sqlState;
};

// The line that gives an error's own message after the program's sentence about it; the
// command line shows error boxes the same way.
inline const QString kErrorPrefix = QStringLiteral("Erreur : ");

// The run cannot go on: what it needs of the host fails for every record to come (the disk of the
// letters folder is full, the link tables can no longer be written). It ends the run as
// unfinished with the line that says so, instead of one failure line per remaining record. On
// purpose no vf::Error, so that no record's handling takes it for its own failure.
struct RunCannotGoOn {
    QString line;
};

// Thrown when the program must end at once, without its close-time steps: a link table that
// cannot be created, or "Yes" to the low-memory question. Front ends catch it and quit.
struct ProgramTermination {
    QString reason;
};

} // namespace vf
