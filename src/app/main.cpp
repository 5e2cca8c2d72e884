// The lunavexa program.
#include "app/lunavexa_command.h"
#include "http/session_task_delegate.h"

int main(int argc, char** argv) {
    // Every real resume and suspend of a session task is announced from the start, whether or not a
    // session manager is ever made.
    lv::HCInstallSessionTaskHooks();
    return lv::lunavexaCommand(argc, argv);
}
