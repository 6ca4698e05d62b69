#include "phases/PhaseOutline.h"

#include "base/Errors.h"
#include "base/Reporter.h"
#include "base/TestHold.h"
#include "destination/IdValues.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"

#include <QElapsedTimer>

namespace vf {

namespace {

// Each source record, in the statement's order: one progress step, then the record. A failure
// to move to the next row ends the loop. The records go to the destination in batches of the
// run's size, or of what the records of about two seconds or a few megabytes of values make,
// whichever comes first: a refused batch is done again one record at a time, which gives each
// record its own outcome, as a batch size of one does.
void importRecords(RunContext& context, Phase& phase, SourceQuery& source, const PhaseOutline& outline)
{
    constexpr qint64 kBatchMilliseconds = 2000;
    constexpr qsizetype kBatchBytes = 8 << 20;
    UnitOfWork& work = context.work;
    LinkTable& links = phase.links();
    // What a record did before an error that it does not handle, or before the run cannot go on,
    // stays written, as it would statement by statement.
    const auto one = [&](const SourceRecord& record) {
        work.beginRecord(links, outline.pairRow);
        try {
            phase.importRecord(record, work);
        } catch (const Error&) {
            work.endRecord();
            throw;
        } catch (const RunCannotGoOn&) {
            work.endRecord();
            throw;
        }
        work.endRecord();
    };

    QList<SourceRecord> batch;
    std::function<void()> restore;
    QElapsedTimer started;
    const auto oneByOne = [&] {
        restore();
        for (const SourceRecord& record : std::as_const(batch))
            one(record);
        batch.clear();
    };
    const auto commit = [&] {
        if (batch.isEmpty())
            return;
        if (!phase.settleBatch())
            work.abandonBatch();
        else if (work.commitBatch())
            batch.clear();
        if (!batch.isEmpty())
            oneByOne();
    };

    // A stop asked for ends the run between batches (between records one at a time): nothing
    // is open then, every committed record has its pair.
    const auto stopAtBoundary = [&] {
        if (batch.isEmpty() && context.stopRequested && context.stopRequested->load(std::memory_order_relaxed))
            throw RunCannotGoOn{context.stoppedLine};
    };

    while (!source.eof()) {
        stopAtBoundary();
        context.reporter.stepProgress();
        const SourceRecord record = source.record();
        if (context.batchSize <= 1) {
            one(record);
        } else {
            if (batch.isEmpty()) {
                restore = phase.checkpoint();
                work.beginBatch(links, outline.pairRow);
                started.start();
            }
            batch.append(record);
            work.nextBatchRecord();
            try {
                phase.importRecord(record, work);
            } catch (const Error&) {
                commit(); // the records before the error stay written, as one at a time
                throw;
            } catch (const RunCannotGoOn&) {
                commit();
                throw;
            }
            testHold("record");
            if (batch.size() >= context.batchSize || started.elapsed() >= kBatchMilliseconds
                || work.batchBytes() >= kBatchBytes)
                commit();
        }
        try {
            source.next();
        } catch (const Error&) {
            break;
        }
    }
    commit();
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
    testHold("phase");
    const PhaseOutline outline = phase.outline();
    Reporter& reporter = context.reporter;
    SourceQuery source(context.source, outline.source);
    // The tables of the statements that its records read are there before its source opens.
    context.source.awaitStaging(outline.details);
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
                importRecords(context, phase, source, outline);
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
