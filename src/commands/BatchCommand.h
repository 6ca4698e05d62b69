#pragma once

// The command-line modes: velquor-fusion --batch --source FILE --letters DIR --dest DIR
// [--purge] performs the same import run as "&Importer" without a display; velquor-fusion
// --verify with the same paths [--report FILE.html] verifies the migration; -h/--help prints every
// mode and exit status, --version the version. Any other argument is bad usage (64). Returns the
// program's exit status.
int runBatchCommand(int argc, char** argv);
