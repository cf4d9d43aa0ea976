// LD_PRELOAD faults this kernel and file system can't produce on demand, each chosen by a variable:
//   SHIM_NO_LINK     O_TMPFILE and hard links refused, as on FAT and exFAT
//   SHIM_NO_THREAD   no thread can be started, as under a process or cgroup limit
//   SHIM_NO_MEMORY=N the main thread's Nth operator new once a thread was started throws bad_alloc
//   SHIM_AT=N        at the main thread's first read of byte N of a file once an output file, named or
//                    not, is being made (with SHIM_WAIT=K, once K other threads have read that byte
//                    too): SHIM_FLIP changes the byte, SHIM_SIGNAL=S sends signal S
// The program is built with 64-bit file offsets, so it calls the *64 functions.
#define _GNU_SOURCE
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

#define REAL(function) ((__typeof__(&function))dlsym(RTLD_NEXT, #function))

static atomic_int outputStarted, otherThreadReads, done, threadStarted, allocations;
void _ZSt17__throw_bad_allocv(void) __attribute__((noreturn));  // libstdc++'s std::__throw_bad_alloc()

void* _Znwm(size_t size) {  // operator new(size_t), which every other form calls
    if (threadStarted && gettid() == getpid() && getenv("SHIM_NO_MEMORY") && ++allocations == atoi(getenv("SHIM_NO_MEMORY"))) _ZSt17__throw_bad_allocv();
    return REAL(_Znwm)(size);
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
    const off_t at = getenv("SHIM_AT") ? atoll(getenv("SHIM_AT")) : -1;
    if (at >= offset && at < offset + (off_t)count) {
        if (gettid() != getpid()) ++otherThreadReads;
        const int others = getenv("SHIM_WAIT") ? atoi(getenv("SHIM_WAIT")) : 0;
        for (int wait = 0; gettid() == getpid() && otherThreadReads < others && wait < 10000; ++wait) usleep(1000);
        if (gettid() == getpid() && outputStarted && !atomic_exchange(&done, 1)) {
            char path[64], byte = 0;
            snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
            const int writable = open(path, O_WRONLY);
            if (getenv("SHIM_FLIP") && (pread(fd, &byte, 1, at) != 1 || pwrite(writable, (byte ^= 0x40, &byte), 1, at) != 1)) abort();
            if (getenv("SHIM_SIGNAL")) kill(getpid(), atoi(getenv("SHIM_SIGNAL")));
            close(writable);
        }
    }
    return REAL(pread64)(fd, buffer, count, offset);
}

int openat64(int folder, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = va_arg(rest, mode_t);
    va_end(rest);
    if (((flags & O_TMPFILE) == O_TMPFILE || (flags & O_EXCL)) && (outputStarted = 1) && (flags & O_EXCL) == 0 && getenv("SHIM_NO_LINK")) return errno = EOPNOTSUPP, -1;
    return REAL(openat64)(folder, path, flags, mode);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    return getenv("SHIM_NO_LINK") ? (errno = EPERM, -1) : REAL(linkat)(fromFolder, from, toFolder, to, flags);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    return getenv("SHIM_NO_THREAD") ? EAGAIN : (atomic_store(&threadStarted, 1), REAL(pthread_create)(thread, attributes, start, argument));
}
