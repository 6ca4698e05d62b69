#pragma once

// The command-line batch run: velquor-fusion --batch --source FILE --letters DIR --dest DIR
// [--purge]. It performs the same import run as "&Importer" without a display and returns the
// program's exit status.
int runBatchCommand(int argc, char** argv);
