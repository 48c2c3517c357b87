#include "tests/support/Unprivileged.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

int runUnprivileged(const std::function<int()>& check) {
    if (geteuid() != 0)
        return check();
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        const gid_t nobodyGroup = 65534;
        const uid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobodyGroup) != 0 || setuid(nobody) != 0)
            _exit(126);
        _exit(check() & 0x7F);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 126)
        return -1;
    return WEXITSTATUS(status);
}
