// The lunavexa program.
#include "app/lunavexa_command.h"

int main(int argc, char** argv) { return lv::lunavexaCommand(argc, argv); }
