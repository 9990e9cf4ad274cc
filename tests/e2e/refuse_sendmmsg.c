/* Loaded before libc (LD_PRELOAD) to play a system without sendmmsg: every
 * call fails with ENOSYS. At exit the process appends "pid calls" to the file
 * named by SPWETH_TEST_REFUSALS, when it made any. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

static int calls;

int sendmmsg(int descriptor, struct mmsghdr *messages, unsigned int count, int flags) {
    (void)descriptor;
    (void)messages;
    (void)count;
    (void)flags;
    ++calls;
    errno = ENOSYS;
    return -1;
}

__attribute__((destructor)) static void report_calls(void) {
    const char *path = getenv("SPWETH_TEST_REFUSALS");
    if (path == NULL || calls == 0) return;
    FILE *file = fopen(path, "a");
    if (file == NULL) return;
    fprintf(file, "%d %d\n", (int)getpid(), calls);
    fclose(file);
}
