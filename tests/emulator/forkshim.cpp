// SPDX-License-Identifier: MIT
// Preloaded into the test programs that run under qemu-user. Where the kernel has pidfds, Qt
// starts a process with clone(CLONE_PIDFD), which qemu-user refuses with EINVAL although the
// waitid(P_PIDFD) probe that Qt makes first passes through to the kernel. Failing that probe
// makes Qt start processes with a plain fork, which qemu-user runs.
//
// Under qemu-i386 that road breaks the parent instead: Qt then waits for its children with a
// SIGCHLD handler, and the main thread comes back from the emulated signal without its
// thread-local storage. There the shim lets the probe pass and makes each clone(CLONE_PIDFD) a
// plain fork followed by pidfd_open(), which qemu-i386 runs, so that Qt never needs the handler.
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/syscall.h>

namespace {
#if !defined(__i386__)
constexpr long pidfdIdType = 3; // P_PIDFD
#endif
using SyscallFunction = long (*)(long, ...);

// The emulator preloads the shim into each program it runs; a host program that a test starts
// must not inherit it.
__attribute__((constructor)) void forgetPreload()
{
    unsetenv("LD_PRELOAD");
}

#if defined(__i386__)
// A plain fork whose parent gets a pidfd of the child where the caller asked for one.
pid_t forkWithPidfd(int flags, void *parentTid)
{
    const pid_t child = fork();
    if (child > 0 && (flags & CLONE_PIDFD) && parentTid)
        *static_cast<int *>(parentTid) = int(::syscall(SYS_pidfd_open, child, 0));
    return child;
}
#endif
using CloneFunction = int (*)(int (*)(void *), void *, int, void *, ...);
} // namespace

extern "C" __attribute__((visibility("default"))) int
clone(int (*function)(void *), void *stack, int flags, void *argument, ...)
{
    va_list list;
    va_start(list, argument);
    void *parentTid = va_arg(list, void *);
    void *tls = va_arg(list, void *);
    void *childTid = va_arg(list, void *);
    va_end(list);
#if defined(__i386__)
    if (flags & CLONE_PIDFD) {
        const pid_t child = forkWithPidfd(flags, parentTid);
        if (child == 0)
            _exit(function(argument));
        return child;
    }
#endif
    static const auto next = reinterpret_cast<CloneFunction>(dlsym(RTLD_NEXT, "clone"));
    return next(function, stack, flags, argument, parentTid, tls, childTid);
}

extern "C" __attribute__((visibility("default"))) long syscall(long number, ...)
{
    // Every system call takes at most six word-sized arguments; the unused ones are ignored.
    long arguments[6];
    va_list list;
    va_start(list, number);
    for (long &argument : arguments)
        argument = va_arg(list, long);
    va_end(list);
#if defined(__i386__)
    // clone(flags, stack, parent_tid, tls, child_tid) on i386.
    if (number == SYS_clone && (arguments[0] & CLONE_PIDFD))
        return forkWithPidfd(int(arguments[0]), reinterpret_cast<void *>(arguments[2]));
#else
    if (number == SYS_waitid && arguments[0] == pidfdIdType) {
        errno = EINVAL;
        return -1;
    }
#endif
    static const auto next = reinterpret_cast<SyscallFunction>(dlsym(RTLD_NEXT, "syscall"));
    return next(number,
                arguments[0],
                arguments[1],
                arguments[2],
                arguments[3],
                arguments[4],
                arguments[5]);
}
