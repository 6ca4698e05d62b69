#include "import/ConsultationStatements.h"

namespace vf {

const QString ConsultationStatements::kFindText = QStringLiteral(
    "SELECT * FROM MOTCONSU\r\n"
    "WHERE PATIENTS_ID=:patients_id\r\n"
    "  and DATE_CONSULTATION=:date_consultation\r\n");

const QString ConsultationStatements::kInsertText = QStringLiteral(
    "INSERT INTO MOTCONSU \r\n"
    "(MOTCONSU_ID,\r\n"
    "PATIENTS_ID,\r\n"
    "DATE_CONSULTATION,\r\n"
    "MEDECINS_ID,\r\n"
    "MOTIF_DE_CONSULTATION)\r\n"
    "VALUES (:id, :patientsID, :dateConsultation, :medecinsID, :motif)");

const QString ConsultationStatements::kUpdateText = QStringLiteral(
    "UPDATE MOTCONSU \r\n"
    "SET\r\n"
    "  MOTIF_DE_CONSULTATION=:motif\r\n"
    "WHERE\r\n"
    "  PATIENTS_ID=:patientsID\r\n"
    "  AND DATE_CONSULTATION=:dateConsultation");

const QString ConsultationStatements::kSynthesisInsertText = QStringLiteral(
    "INSERT INTO MOTCONSU \r\n"
    "(MOTCONSU_ID,\r\n"
    "PATIENTS_ID,\r\n"
    "DATE_CONSULTATION,\r\n"
    "MEDECINS_ID,\r\n"
    "MOTIF_DE_CONSULTATION, AU_TOTAL)\r\n"
    "VALUES (:id, :patientsID, :dateConsultation, :medecinsID, :motif, :autotal)");

const QString ConsultationStatements::kSynthesisUpdateText = QStringLiteral(
    "UPDATE MOTCONSU \r\n"
    "SET\r\n"
    "  AU_TOTAL=:motif\r\n"
    "WHERE\r\n"
    "  PATIENTS_ID=:patientsID\r\n"
    "  AND DATE_CONSULTATION=:dateConsultation");

ConsultationStatements::ConsultationStatements(DestinationConnection& connection)
    : find(connection, kFindText)
    , insert(connection, kInsertText)
    , update(connection, kUpdateText)
{
}

void ConsultationStatements::useSynthesisTexts()
{
    insert.setText(kSynthesisInsertText);
    update.setText(kSynthesisUpdateText);
}

} // namespace vf
