#ifndef IPCAMERA_BENCH_BENCHSUPPORT_H
#define IPCAMERA_BENCH_BENCHSUPPORT_H

// Helpers of the library benchmarks: clocks, instruction counts under
// callgrind, and a test camera started as a child process.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <string>

// Standard output of a shell command.
inline std::string Capture(const std::string &cmd)
{
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    pclose(f);
    return out;
}

// Total instructions ("Collected") of a command under callgrind, over all
// its threads (valgrind runs them one at a time, so waiting costs nothing
// and only work is counted); -1 when it did not run. With pszProfile the
// profile is kept in that file.
inline double CallgrindInstructions(const std::string &cmd, const char *pszProfile = nullptr)
{
    std::string out = Capture(std::string("valgrind --tool=callgrind --callgrind-out-file=") +
                              (pszProfile ? pszProfile : "/dev/null") + " " + cmd + " 2>&1");
    size_t k = out.find("Collected : ");
    return k == std::string::npos ? -1.0 : atof(out.c_str() + k + 12);
}

inline double BenchNow()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// CPU time of the whole process: all threads, user and system.
inline double BenchCpuSeconds()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// Starts a test camera (argv[0] with argv, null-terminated; it dies with
// this process) and reads its "ready <url>" line. The URL, or "" when it
// did not come; the child's pid in *pPid either way (-1 without a child).
inline std::string BenchStartCamera(const char *const *argv, pid_t *pPid)
{
    *pPid = -1;
    int fds[2];
    if (pipe(fds) != 0)
        return "";
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execv(argv[0], (char *const *)argv);
        _exit(127);
    }
    close(fds[1]);
    *pPid = pid;
    char line[256] = "";
    FILE *f = fdopen(fds[0], "r");
    std::string url;
    if (f != nullptr && fgets(line, sizeof line, f) != nullptr && strstr(line, "ready ") != nullptr) {
        url = strstr(line, "ready ") + 6;
        url.erase(url.find_last_not_of("\r\n") + 1);
    }
    if (f != nullptr)
        fclose(f);
    else
        close(fds[0]);
    return url;
}

#endif
