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
};

} // namespace vf
