#pragma once

#include "db/DestinationConnection.h"

namespace vf {

// The three MOTCONSU statements shared by the consultations, prescriptions and synthesis-sheets
// phases: QryMotConsu (find), QryInsertMotConsu (insert), QryUpdateMotConsu (update).
struct ConsultationStatements {
    explicit ConsultationStatements(DestinationConnection& connection);

    DestQuery find;
    DestQuery insert;
    DestQuery update;

    static const QString kFindText;
    static const QString kInsertText;
    static const QString kUpdateText;
    // The texts the synthesis sheets use: the insert also sets AU_TOTAL from :autotal, and the
    // update writes :motif into AU_TOTAL instead of MOTIF_DE_CONSULTATION.
    static const QString kSynthesisInsertText;
    static const QString kSynthesisUpdateText;

    // Switches the insert and the update to their synthesis-sheet texts, for the rest of the run.
    void useSynthesisTexts();
};

} // namespace vf
