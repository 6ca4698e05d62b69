#include "import/PhaseOutline.h"

#include "db/Errors.h"
#include "db/IdValues.h"
#include "db/Reporter.h"
#include "db/SourceConnection.h"
#include "import/RunContext.h"

namespace vf {

namespace {

// Each source record, in the statement's order: one progress step, then the record. A failure
// to move to the next row ends the loop.
void importRecords(RunContext& context, Phase& phase, SourceQuery& source)
{
    while (!source.eof()) {
        context.reporter.stepProgress();
        phase.importRecord(source.record(), context.work);
        try {
            source.next();
        } catch (const Error&) {
            return;
        }
    }
}

void closeQuietly(SourceQuery& query)
{
    try {
        query.close();
    } catch (const std::exception&) {
    }
}

} // namespace

void runPhase(RunContext& context, Phase& phase)
{
    const PhaseOutline outline = phase.outline();
    Reporter& reporter = context.reporter;
    SourceQuery source(context.source, outline.source);
    bool opened = false;
    const auto showImporting = [&] {
        for (const QString& status : outline.importing)
            reporter.setStatus(status);
    };
    for (const Step step : outline.steps) {
        switch (step) {
        case Step::LinkTable:
            context.openPhaseLinkTable(phase.links(), outline.linkTable);
            break;
        case Step::Seed:
            phase.seed();
            break;
        case Step::OpenSource:
            reporter.setStatus(outline.opening);
            opened = context.openSource(source, outline.openError);
            break;
        case Step::Prepare:
            phase.prepare(opened);
            break;
        case Step::Progress:
            reporter.startProgress(opened ? source.recordCount() : 0);
            break;
        case Step::ProgressBarShown:
            reporter.setProgressVisible(true);
            break;
        case Step::Importing:
            showImporting();
            break;
        case Step::ImportingWhenOpened:
            if (opened)
                showImporting();
            break;
        case Step::Records:
            if (opened)
                importRecords(context, phase, source);
            closeQuietly(source);
            break;
        case Step::ClearStatus:
            reporter.setStatus(QString());
            break;
        case Step::IdValues:
            for (const auto& [key, value] : phase.idValues())
                context.idValues.WriteIdValue(key, value, false);
            break;
        case Step::CountLines:
            for (const QString& line : phase.countLines())
                reporter.appendLine(line);
            break;
        }
    }
    phase.finish();
}

} // namespace vf
