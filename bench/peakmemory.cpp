// peakmemory FILE PROGRAM ARGUMENT...: runs the program, writes its peak
// resident memory to FILE, in KiB as wait4() reports it, and ends with its
// exit status.
//
// The peak that wait4() reports for a child also counts the program the child
// replaced: exec keeps the peak of the address space it leaves. A child of the
// benchmark would count the benchmark's own memory (its libraries, images and
// stored files); a child of this small program counts hardly anything more
// than its own.

#include <cerrno>
#include <cstdio>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    pid_t pid = 0;
    if (argc < 3 || ::posix_spawn(&pid, argv[2], nullptr, nullptr, argv + 2, environ) != 0)
        return 127;
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR)
            return 127;
    }
    FILE *file = std::fopen(argv[1], "w");
    if (!file || std::fprintf(file, "%ld\n", usage.ru_maxrss) < 0 || std::fclose(file) != 0)
        return 127;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
