#pragma once

#include "links/Binding.h"
#include "phases/PhaseOutline.h"

#include <QStringList>

namespace vf {

struct RunContext;

// The purge of the destination before the phases: the tables it empties (the table list built by
// the run, then the fixed ones and the prescription table), the rows they hold (those that the
// destination can count), and the purge itself.
QStringList purgeList(RunContext& context, QStringList tableList);
qint64 rowsToPurge(RunContext& context, const QStringList& purgeList);
void runPurge(RunContext& context, const QStringList& purgeList);

// Before the phases: the pairs whose destination rows were deleted since their import are
// forgotten, so that the phases import their records again as new rows (one line per kind).
void restoreMissingRecords(RunContext& context);

// The eight record phases, in the order the run calls them.
void runUsersPhase(RunContext& context);           // GLB MEDECIN -> MEDECINS
void runCorrespondentsPhase(RunContext& context);  // ADR CARNET ADRESSE -> MEDTRAIT
void runPatientsPhase(RunContext& context);        // GLB PATIENT -> PATIENTS, PATMEDTR
void runHistoryPhase(RunContext& context);         // ANT ... -> ANTECED
void runConsultationsPhase(RunContext& context);   // CON ... -> MOTCONSU
void runPrescriptionsPhase(RunContext& context);   // ORD ... -> the prescription table
void runSynthesisPhase(RunContext& context);       // SYN ... -> MOTCONSU.AU_TOTAL
void runLettersPhase(RunContext& context);         // COU COURRIER GENERE -> LETTERS + files

// What each phase is made of besides its records: its link table, the row its pairs stand for, its
// source statement and texts (the prescriptions' from the prescription table's name).
PhaseOutline usersOutline();
PhaseOutline correspondentsOutline();
PhaseOutline patientsOutline();
PhaseOutline historyOutline();
PhaseOutline consultationsOutline();
PhaseOutline prescriptionsOutline(const QString& table);
PhaseOutline synthesisOutline();
PhaseOutline lettersOutline();

// Every link table of the phases with the rows its pairs stand for; the prescriptions' only when
// EDITOR.INI of the destination base folder (talmerosPath) names their table.
QList<PairedRows> pairedRows(const QString& talmerosPath);

// The prescription table named in EDITOR.INI of the destination base folder, upper-cased, or
// "erreur". Only a plain identifier (letters, digits, "_") is accepted, and none of the tables
// that the program writes itself.
QString FindPrescriptionTable(const QString& talmerosPath);

} // namespace vf
