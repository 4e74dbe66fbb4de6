// SPDX-License-Identifier: MIT
// Preloaded into the test programs that run under qemu-user. Where the kernel has pidfds, Qt
// starts a process with clone(CLONE_PIDFD), which qemu-user refuses with EINVAL although the
// waitid(P_PIDFD) probe that Qt makes first passes through to the kernel. Failing that probe
// makes Qt start processes with a plain fork, which qemu-user runs.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/syscall.h>

namespace {
constexpr long pidfdIdType = 3; // P_PIDFD
using SyscallFunction = long (*)(long, ...);

// The emulator preloads the shim into each program it runs; a host program that a test starts
// must not inherit it.
__attribute__((constructor)) void forgetPreload()
{
    unsetenv("LD_PRELOAD");
}
} // namespace

extern "C" __attribute__((visibility("default"))) long syscall(long number, ...)
{
    // Every system call takes at most six word-sized arguments; the unused ones are ignored.
    long arguments[6];
    va_list list;
    va_start(list, number);
    for (long &argument : arguments)
        argument = va_arg(list, long);
    va_end(list);
    if (number == SYS_waitid && arguments[0] == pidfdIdType) {
        errno = EINVAL;
        return -1;
    }
    static const auto next = reinterpret_cast<SyscallFunction>(dlsym(RTLD_NEXT, "syscall"));
    return next(number,
                arguments[0],
                arguments[1],
                arguments[2],
                arguments[3],
                arguments[4],
                arguments[5]);
}
