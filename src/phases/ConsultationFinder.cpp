#include "phases/ConsultationFinder.h"

namespace vf {

void ConsultationFinder::prepare(DestinationConnection& connection)
{
    if (!m_index.isLoaded())
        m_index.load(connection, {QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID"), QStringLiteral("PATIENTS_ID"),
                              QStringLiteral("DATE_CONSULTATION"), true});
}

std::optional<qint32> ConsultationFinder::find(qint32 patientId, const QDateTime& minute) const
{
    return m_index.lowest(RowKey::of(patientId, minute));
}

QList<qint32> ConsultationFinder::all(qint32 patientId, const QDateTime& minute) const
{
    return m_index.all(RowKey::of(patientId, minute));
}

Written ConsultationFinder::create(UnitOfWork& work, qint32 id, qint32 patientId, const QDateTime& minute,
                                   qint32 medecinId, const QString& motif, const Columns& extra)
{
    Columns columns = {
        {QStringLiteral("MOTCONSU_ID"), id},
        {QStringLiteral("PATIENTS_ID"), patientId},
        {QStringLiteral("DATE_CONSULTATION"), minute},
        {QStringLiteral("MEDECINS_ID"), medecinId},
        {QStringLiteral("MOTIF_DE_CONSULTATION"), motif},
    };
    columns += extra;
    const Written written = work.insert({QStringLiteral("MOTCONSU"), columns});
    if (written)
        this->written(id, patientId, minute);
    return written;
}

void ConsultationFinder::written(qint32 id, qint32 patientId, const QDateTime& minute)
{
    if (m_index.isLoaded())
        m_index.add(RowKey::of(patientId, minute), id);
}

} // namespace vf
