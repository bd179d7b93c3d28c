// zavobench-slowdisk: loaded with LD_PRELOAD into a program the benchmark
// measures, to show what its writes cost on a slow disk and how many it
// makes. Every fsync() and fdatasync() returns ZAVO_BENCH_SYNC_DELAY_US
// microseconds late (after the real call, as a slow disk would), and each
// call of those and of rename(), renameat() and renameat2() adds a line
// "<call> <CLOCK_MONOTONIC ns at its return> <path>" to the file named by
// ZAVO_BENCH_SYNC_LOG: the path synced or renamed to. The benchmark's clocks
// are CLOCK_MONOTONIC too, so it can tell which action each call belongs
// to, and by the path whose it is (the serial port's lock file syncs too).
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

template<typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

long long nowNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Delays a sync, notes the call; the caller's errno is left as the real call set it.
int noted(const char *call, const char *path, bool sync, int result)
{
    static const long delayUs = [] {
        const char *value = std::getenv("ZAVO_BENCH_SYNC_DELAY_US");
        return value ? std::atol(value) : 0L;
    }();
    static const int log = [] {
        const char *path = std::getenv("ZAVO_BENCH_SYNC_LOG");
        return path ? ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1;
    }();
    const int error = errno;
    if (sync && delayUs > 0) {
        timespec rest {delayUs / 1000000, (delayUs % 1000000) * 1000};
        while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
        }
    }
    if (log >= 0) {
        char line[4200];
        const int length = std::snprintf(line, sizeof line, "%s %lld %s\n", call, nowNs(), path);
        // One write with O_APPEND: lines from several threads never mix.
        [[maybe_unused]] const ssize_t written = ::write(log, line, static_cast<size_t>(length));
    }
    errno = error;
    return result;
}

// The file an open descriptor is, as /proc names it.
struct FdPath {
    explicit FdPath(int fd)
    {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t length = ::readlink(link, path, sizeof path - 1);
        path[length > 0 ? length : 0] = '\0';
    }
    char path[4096];
};

} // namespace

extern "C" {

int fsync(int fd)
{
    static const auto real = next<int (*)(int)>("fsync");
    return noted("fsync", FdPath(fd).path, true, real(fd));
}

int fdatasync(int fd)
{
    static const auto real = next<int (*)(int)>("fdatasync");
    return noted("fdatasync", FdPath(fd).path, true, real(fd));
}

int rename(const char *from, const char *to)
{
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    return noted("rename", to, false, real(from, to));
}

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    static const auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    return noted("rename", to, false, real(fromDir, from, toDir, to));
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    static const auto real = next<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    return noted("rename", to, false, real(fromDir, from, toDir, to, flags));
}

} // extern "C"
