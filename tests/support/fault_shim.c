// LD_PRELOAD faults this kernel and file system can't produce on demand, each chosen by a variable:
//   SHIM_NO_LINK     O_TMPFILE and hard links refused, as on FAT and exFAT
//   SHIM_NO_THREAD   no thread can be started, as under a process or cgroup limit
//   SHIM_AT=N        at the main thread's read of byte N of a file: SHIM_SHRINK cuts the file there
//                    (the first such read); SHIM_FLIP changes the byte, SHIM_SIGNAL=S sends signal S
//                    (the first such read once an output file is being made; with SHIM_WAIT, once
//                    another thread has read that byte too)
#define _GNU_SOURCE
#undef _FILE_OFFSET_BITS  // both the plain and the 64-bit names are defined here
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static atomic_int outputStarted, otherThreadRead, done;

static void fault(int fd, off_t target) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int writable = open(path, O_WRONLY);
    unsigned char byte = 0;
    if (getenv("SHIM_SHRINK") && ftruncate(writable, target) != 0) abort();
    if (getenv("SHIM_FLIP") && pread(fd, &byte, 1, target) == 1 && (byte ^= 0x40, pwrite(writable, &byte, 1, target)) != 1) abort();
    if (getenv("SHIM_SIGNAL")) kill(getpid(), atoi(getenv("SHIM_SIGNAL")));
    close(writable);
}

static ssize_t faultyRead(int fd, void* buffer, size_t count, off_t offset) {
    ssize_t (*real)(int, void*, size_t, off_t) = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
    const off_t target = getenv("SHIM_AT") ? atoll(getenv("SHIM_AT")) : -1;
    if (target >= offset && target < offset + (off_t)count) {
        if (gettid() != getpid()) otherThreadRead = 1;
        for (int wait = 0; getenv("SHIM_WAIT") && !otherThreadRead && wait < 10000; ++wait) usleep(1000);
        if (gettid() == getpid() && (getenv("SHIM_SHRINK") || outputStarted) && !atomic_exchange(&done, 1)) fault(fd, target);
    }
    return real(fd, buffer, count, offset);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) { return faultyRead(fd, buffer, count, offset); }
ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) { return faultyRead(fd, buffer, count, offset); }

static int faultyOpen(const char* path, int flags, mode_t mode) {
    int (*real)(const char*, int, mode_t) = (int (*)(const char*, int, mode_t))dlsym(RTLD_NEXT, "open64");
    if ((flags & O_TMPFILE) == O_TMPFILE) outputStarted = 1;
    if (getenv("SHIM_NO_LINK") && (flags & O_TMPFILE) == O_TMPFILE) return errno = EOPNOTSUPP, -1;
    return real(path, flags, mode);
}

#define MODE_AFTER(flags) (va_start(rest, flags), mode = va_arg(rest, mode_t), va_end(rest), mode)
int open(const char* path, int flags, ...) { va_list rest; mode_t mode; return faultyOpen(path, flags, MODE_AFTER(flags)); }
int open64(const char* path, int flags, ...) { va_list rest; mode_t mode; return faultyOpen(path, flags, MODE_AFTER(flags)); }

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    int (*real)(int, const char*, int, const char*, int) = (int (*)(int, const char*, int, const char*, int))dlsym(RTLD_NEXT, "linkat");
    return getenv("SHIM_NO_LINK") ? (errno = EPERM, -1) : real(fromFolder, from, toFolder, to, flags);
}

int link(const char* from, const char* to) { return linkat(AT_FDCWD, from, AT_FDCWD, to, 0); }

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) =
        (int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))dlsym(RTLD_NEXT, "pthread_create");
    return getenv("SHIM_NO_THREAD") ? EAGAIN : real(thread, attributes, start, argument);
}
