/*
 * exitwatch - the exit status of a process that is nobody's child we own.
 *
 *   exitwatch --on FILE       switch process accounting on, into FILE
 *   exitwatch --dfl PROG ARG.. run PROG with SIGINT and SIGQUIT at their
 *                             defaults: a shell without job control ignores
 *                             them for what it starts in the background, and
 *                             the agent keeps stop signals that it finds
 *                             ignored ignored (as under nohup)
 *   exitwatch WHO FILE OUT    wait for the accounting record in FILE of the
 *                             process WHO (a pid, or the first with that
 *                             command name) and write its status to OUT: the
 *                             exit code, or minus the signal that ended it
 *                             (as Python's Popen.returncode has it)
 *
 * The emulated router's boot script starts the agent in the background and
 * init adopts it, so the rig cannot wait for it; the kernel's accounting
 * record (version 3) carries the pid and the exit status of every process.
 */
#include <fcntl.h>
#include <signal.h>
#include <linux/acct.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc >= 3 && !strcmp(argv[1], "--dfl")) {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        return 127;
    }
    if (argc == 3 && !strcmp(argv[1], "--on")) {
        int fd = open(argv[2], O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd < 0 || close(fd) || acct(argv[2])) {
            perror("exitwatch: acct");
            return 1;
        }
        return 0;
    }
    if (argc != 4) {
        fprintf(stderr, "usage: exitwatch --on FILE | exitwatch PID|NAME FILE OUT\n");
        return 2;
    }
    char *end;
    unsigned pid = (unsigned)strtoul(argv[1], &end, 10);
    const char *name = *end ? argv[1] : NULL;
    int fd = open(argv[2], O_RDONLY);
    if (fd < 0) {
        perror(argv[2]);
        return 1;
    }
    struct acct_v3 rec;
    for (;;) {
        ssize_t n = read(fd, &rec, sizeof rec);
        if (n == 0) {
            usleep(20000);
            continue;
        }
        if (n != (ssize_t)sizeof rec) {
            fprintf(stderr, "exitwatch: short record\n");
            return 1;
        }
        if ((rec.ac_version & 0x0f) != 3)
            continue;
        if (name ? !strncmp(rec.ac_comm, name, sizeof rec.ac_comm) : rec.ac_pid == pid)
            break;
    }
    unsigned code = rec.ac_exitcode;
    int status = (code & 0x7f) ? -(int)(code & 0x7f) : (int)((code >> 8) & 0xff);
    char tmp[256];
    snprintf(tmp, sizeof tmp, "%s.tmp", argv[3]);
    FILE *f = fopen(tmp, "w");
    if (!f || fprintf(f, "%d\n", status) < 0 || fclose(f) || rename(tmp, argv[3])) {
        perror(argv[3]);
        return 1;
    }
    return 0;
}
