// Runs the --export command in a process of its own, as the program does: export-driver --export FILE TABLE.
#include "commands/ExportCommand.h"

int main(int argc, char** argv) { return vf::runExportCommand(argc, argv); }
