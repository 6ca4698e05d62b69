// Linked into test programs only: they run from folders of the build tree where the reader is not
// beside them, so they are told where the build put it. The program itself never carries this path.
#include "source/SourceConnection.h"

namespace {

const bool g_readerKnown = [] {
    vf::SourceConnection::setBuiltStagingProgram(QStringLiteral(VF_STAGE_BUILD_PATH));
    return true;
}();

} // namespace
