/* Runs a program with standard input, output and error on /dev/null, waits for it and prints
   "NANOSECONDS PEAK_KB EXIT_CODE": its wall time from start to exit and its peak resident size as
   wait4 reports it. A small process of its own, so that the peak the child starts from is this
   program's, not the benchmark's (a child's peak counts the memory it was made from). A child still
   running after 30 s is ended by its alarm (kept across exec) and reported with exit code -1. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        alarm(30);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long ns = (long long)(end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    printf("%lld %ld %d\n", ns, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
