/* A library whose load does not finish until the test says so: its constructor, which the loader runs
   while it holds its own lock, reports that it has started and then waits for a release byte (or 60 s,
   so that a failing test cannot hang). The two pipe descriptors come from the environment. */
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void holdTheLoad(void) {
    const char* entered = getenv("LV_HELD_LOAD_ENTERED_FD");
    const char* release = getenv("LV_HELD_LOAD_RELEASE_FD");
    if (!entered || !release) return;
    const char byte = 1;
    if (write(atoi(entered), &byte, 1) != 1) return;
    struct pollfd wait = {atoi(release), POLLIN, 0};
    (void)poll(&wait, 1, 60000);
}
