// The hivex library the process has loaded, found among its shared objects,
// and its release as dpkg records the package that holds that file. hivex
// itself offers no call that answers its version.
#include "platform/offline/hivex_in_use.h"

#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

int FindHivex(struct dl_phdr_info *info, size_t, void *data)
{
    const char *name = info->dlpi_name ? info->dlpi_name : "";
    const char *base = strrchr(name, '/');
    base = base ? base + 1 : name;
    if (strncmp(base, "libhivex.so", 11) != 0)
        return 0;
    snprintf((char *)data, PATH_MAX, "%s", name);
    return 1;
}

// Runs dpkg-query with the arguments; true with its first output line when
// it succeeds and says something.
bool DpkgQuery(const char *a1, const char *a2, const char *a3, char *out, size_t size)
{
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char *argv[] = {(char *)"dpkg-query", (char *)a1, (char *)a2, (char *)a3, NULL};
    pid_t pid;
    int spawned = posix_spawnp(&pid, "dpkg-query", &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipefd[1]);
    size_t length = 0;
    ssize_t n;
    while (spawned == 0 && (n = read(pipefd[0], out + length, size - 1 - length)) > 0 &&
           (length += (size_t)n) < size - 1) {
    }
    close(pipefd[0]);
    out[length] = '\0';
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return false;
    out[strcspn(out, "\n")] = '\0';
    return out[0] != '\0';
}

// "libhivex0:amd64 1.3.23-1+b1" for a file that package holds.
bool PackageOf(const char *file, char *package, size_t packageSize, char *version,
               size_t versionSize)
{
    char line[PATH_MAX + 256];
    if (!DpkgQuery("--search", "--", file, line, sizeof line))
        return false;
    char *colon = strstr(line, ": ");
    if (colon == NULL || colon == line)
        return false;
    *colon = '\0';
    if ((size_t)(colon - line) >= packageSize)
        return false;
    // Several packages, or a diversion: no one release to name.
    if (strpbrk(line, ", ") != NULL)
        return false;
    memcpy(package, line, (size_t)(colon - line) + 1);
    return DpkgQuery("--show", "--showformat=${Version}", package, version, versionSize);
}

} // namespace

void FindHivexInUse(HivexInUse *found)
{
    *found = HivexInUse();
    char loaded[PATH_MAX] = "";
    dl_iterate_phdr(FindHivex, loaded);
    if (loaded[0] == '\0')
        return;
    // dpkg records the file under its real path (/usr/lib/..., not a link).
    char real[PATH_MAX];
    snprintf(found->file, sizeof found->file, "%s", realpath(loaded, real) ? real : loaded);
    if (!PackageOf(found->file, found->package, sizeof found->package, found->version,
                   sizeof found->version) &&
        !PackageOf(loaded, found->package, sizeof found->package, found->version,
                   sizeof found->version))
        found->package[0] = found->version[0] = '\0';
}
