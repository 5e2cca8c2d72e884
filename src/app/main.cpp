// The lunavexa program.
#include "app/lunavexa_command.h"
#include "http/session_task_delegate.h"
#include "platform/net/preload.h"

int main(int argc, char** argv) {
    // Every real resume and suspend of a session task is announced from the start, whether or not a
    // session manager is ever made.
    lv::HCInstallSessionTaskHooks();
    const int code = lv::lunavexaCommand(argc, argv);
    // A launch that ended before the libcurl load it started (lunavexa_command.cpp) waits for it: exit
    // does not tear libraries down under the loader.
    lv::finishURLEnginePreload();
    return code;
}
