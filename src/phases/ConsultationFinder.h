#pragma once

#include "phases/RowIndex.h"
#include "phases/UnitOfWork.h"

#include <QDateTime>

namespace vf {

class DestinationConnection;

// The consultations (MOTCONSU rows) of a patient at a minute, found from memory, for the
// prescriptions and synthesis-sheets phases, which also create the consultations they miss.
// Each phase keeps its own reaction to a find that fails.
class ConsultationFinder {
public:
    // Reads MOTCONSU's identifiers, patients and dates, unless an earlier phase has (a failed
    // read is tried again).
    void prepare(DestinationConnection& connection);

    // The consultation that answers a find (the lowest identifier), if any; throws vf::Error
    // when MOTCONSU could not be read.
    std::optional<qint32> find(qint32 patientId, const QDateTime& minute) const;
    // Every consultation of the patient at that minute.
    QList<qint32> all(qint32 patientId, const QDateTime& minute) const;

    // Writes a consultation made for a prescription or a synthesis sheet; extra columns follow
    // the reason for consultation.
    Written create(UnitOfWork& work, qint32 id, qint32 patientId, const QDateTime& minute, qint32 medecinId,
                   const QString& motif, const Columns& extra = {});
    // A consultation written by the consultations phase.
    void written(qint32 id, qint32 patientId, const QDateTime& minute);

    // What the finds learn from the mark on can be forgotten (a refused batch of records).
    void mark() { m_index.mark(); }
    void rollbackToMark() { m_index.rollbackToMark(); }

private:
    RowIndex m_index;
};

} // namespace vf
