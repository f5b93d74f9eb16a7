#include "dst_file.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int cleanup_signals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The named temporary file that a terminating signal must remove. A signal
// handler can reach nothing else, so this one path is process-wide; it is
// set only while such a file exists and is written only with those signals
// blocked.
char signal_cleanup_path[PATH_MAX];

void dst_on_signal(int sig)
{
    // unlink is async-signal-safe. The handler was installed with
    // SA_RESETHAND, so raising the signal again ends the process with the
    // status the signal would have given.
    if (signal_cleanup_path[0] != '\0')
        unlink(signal_cleanup_path);
    raise(sig);
}

// Holds the clean-up signals back while it lives: what happens meanwhile is
// seen by a signal handler as done or not done, never half-way.
struct signals_held {
    sigset_t old;
    signals_held()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : cleanup_signals)
            sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &old);
    }
    ~signals_held() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
};

void dst_arm_cleanup(dst_file* dst)
{
    const signals_held held;
    std::snprintf(signal_cleanup_path, sizeof signal_cleanup_path, "%s", dst->tmp_path.c_str());
    struct sigaction sa = {};
    sa.sa_handler = dst_on_signal;
    sa.sa_flags = SA_RESETHAND;
    sigfillset(&sa.sa_mask);
    for (size_t i = 0; i < 4; ++i) {
        sigaction(cleanup_signals[i], nullptr, &dst->saved[i]);
        // A signal the caller ignores (nohup, a background job) stays ignored:
        // it cannot end the run, so there is nothing to clean up after it.
        if (dst->saved[i].sa_handler == SIG_DFL)
            sigaction(cleanup_signals[i], &sa, nullptr);
    }
}

// Call with the clean-up signals blocked.
void dst_disarm_cleanup(dst_file* dst)
{
    signal_cleanup_path[0] = '\0';
    for (size_t i = 0; i < 4; ++i)
        sigaction(cleanup_signals[i], &dst->saved[i], nullptr);
}

std::string dst_folder(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string dst_base(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links from path to the file they name (which need not
// exist yet). Returns 0 or -errno (-ELOOP for a cycle).
int dst_resolve(const char* path, std::string* out)
{
    std::string p = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            return errno == ENOENT ? (*out = p, 0) : -errno;
        if (!S_ISLNK(st.st_mode)) {
            *out = p;
            return 0;
        }
        char target[PATH_MAX];
        const ssize_t n = readlink(p.c_str(), target, sizeof target - 1);
        if (n < 0)
            return -errno;
        target[n] = '\0';
        p = target[0] == '/' ? std::string(target) : dst_folder(p) + "/" + target;
    }
    return -ELOOP;
}

// A fresh hidden name beside the destination.
std::string dst_temp_name(const dst_file& dst)
{
    // Six characters more than the destination's name, like mkstemp's.
    uint8_t rnd[3] = {};
    if (getrandom(rnd, sizeof rnd, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof rnd)) {
        // No entropy yet (early boot): the clock and the process make a name
        // that a retry after a clash changes.
        const uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
            (static_cast<uint64_t>(getpid()) << 24);
        std::memcpy(rnd, &t, sizeof rnd);
    }
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%02x%02x%02x", rnd[0], rnd[1], rnd[2]);
    return dst_folder(dst.path) + "/." + dst_base(dst.path) + "." + suffix;
}

// Gives the unnamed file the name `name`. Returns 0 or -errno.
int dst_link(int fd, const std::string& name)
{
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    const int err = errno;
    // Without /proc, AT_EMPTY_PATH does the same where the process may use it.
    if (err == ENOENT && linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    return -err;
}

// Flushes the folder's entries, so that a new name survives a power cut. A
// folder that cannot be opened or flushed (some file systems refuse) leaves
// the name as durable as the file system makes it.
void dst_sync_folder(const std::string& path)
{
    const int dfd = open(dst_folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}

// Gives the new file the extended attributes of the file it replaces, its
// access control lists among them, as far as the caller may set them (a
// security label or a trusted attribute may need privileges it lacks).
void dst_copy_xattrs(const std::string& from, int to_fd)
{
    ssize_t size = listxattr(from.c_str(), nullptr, 0);
    if (size <= 0)
        return;
    std::vector<char> names(static_cast<size_t>(size));
    size = listxattr(from.c_str(), names.data(), names.size());
    if (size <= 0)
        return;
    std::vector<char> value;
    for (const char* name = names.data(); name < names.data() + size; name += std::strlen(name) + 1) {
        const ssize_t n = getxattr(from.c_str(), name, nullptr, 0);
        if (n < 0)
            continue;
        value.resize(static_cast<size_t>(n));
        const ssize_t got = getxattr(from.c_str(), name, value.data(), value.size());
        if (got >= 0)
            (void)fsetxattr(to_fd, name, value.data(), static_cast<size_t>(got), 0);
    }
}

// Links the unnamed file to a fresh name beside the destination and renames
// that over it. Returns 0 or -errno; on failure the fresh name is gone again.
int dst_link_and_rename(dst_file* dst)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string tmp = dst_temp_name(*dst);
        const int err = dst_link(dst->fd, tmp);
        if (err == -EEXIST)
            continue;
        if (err != 0)
            return err;
        if (rename(tmp.c_str(), dst->path.c_str()) != 0) {
            const int rename_err = -errno;
            unlink(tmp.c_str());
            return rename_err;
        }
        return 0;
    }
    return -EEXIST;
}

int dst_place_unnamed(dst_file* dst)
{
    if (!dst->replaces) {
        const int err = dst_link(dst->fd, dst->path);
        if (err != -EEXIST)
            return err;
        // Someone made the destination meanwhile: replace it like any other.
    }
    // Replacing takes a name beside the destination for an instant: the
    // terminating signals wait until the rename is done, so that they cannot
    // leave that name behind.
    const signals_held held;
    return dst_link_and_rename(dst);
}

int dst_place_named(dst_file* dst)
{
    // The signals stay blocked while the name changes hands, so that a
    // handler never removes a name that is no longer the temporary file.
    const signals_held held;
    if (rename(dst->tmp_path.c_str(), dst->path.c_str()) != 0)
        return -errno;
    dst->tmp_path.clear();
    dst_disarm_cleanup(dst);
    return 0;
}

}  // namespace

int dst_open(const char* path, bool allow_unnamed, dst_file* dst)
{
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        // A device or a pipe, also through /dev/stdout or /proc/self/fd/N,
        // whose links name no file: written as it is.
        dst->path = path;
        dst->fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
        return dst->fd < 0 ? -errno : 0;
    }
    if (const int err = dst_resolve(path, &dst->path); err != 0)
        return err;
    // A name that cannot be linked to would fail only after the whole copy.
    if (dst->path.empty())
        return -ENOENT;
    if (dst->path.back() == '/')
        return -EISDIR;
    const bool exists = stat(dst->path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return -errno;
    if (exists && S_ISDIR(st.st_mode))
        return -EISDIR;
    if (exists && !S_ISREG(st.st_mode)) {
        dst->fd = open(dst->path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return dst->fd < 0 ? -errno : 0;
    }
    if (exists) {
        dst->replaces = true;
        dst->mode = st.st_mode & 07777;
        dst->uid = st.st_uid;
        dst->gid = st.st_gid;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        dst->mode = 0666 & ~mask;
    }
    if (allow_unnamed) {
        dst->fd = open(dst_folder(dst->path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (dst->fd >= 0) {
            dst->unnamed = true;
            return 0;
        }
        // Only a file system (or kernel) without unnamed files falls back to
        // a named one; any other failure is the destination's.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return -errno;
    }
    dst->tmp_path = dst_temp_name(*dst);
    // The handlers are in place before the file exists, so that there is no
    // moment in which a signal could leave it behind.
    dst_arm_cleanup(dst);
    dst->fd = open(dst->tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (dst->fd < 0) {
        const int err = -errno;
        const signals_held held;
        dst_disarm_cleanup(dst);
        dst->tmp_path.clear();
        return err;
    }
    return 0;
}

int dst_commit(dst_file* dst)
{
    const bool is_new_file = dst->unnamed || !dst->tmp_path.empty();
    int err = 0;
    if (is_new_file) {
        // The owner first: changing it may clear set-user-ID bits that the
        // mode then restores. Where the caller may not give the file away,
        // it keeps at least the group, if it may.
        if (dst->replaces && fchown(dst->fd, dst->uid, dst->gid) != 0)
            (void)!fchown(dst->fd, static_cast<uid_t>(-1), dst->gid);
        if (fchmod(dst->fd, dst->mode) != 0)
            err = -errno;
        // After the mode: an access control list sets the group bits its own way.
        if (err == 0 && dst->replaces)
            dst_copy_xattrs(dst->path, dst->fd);
        if (err == 0 && fsync(dst->fd) != 0)
            err = -errno;
    }
    if (err == 0 && dst->unnamed)
        err = dst_place_unnamed(dst);
    if (close(dst->fd) != 0 && err == 0)
        err = -errno;
    dst->fd = -1;
    if (err == 0 && !dst->tmp_path.empty())
        err = dst_place_named(dst);
    if (err == 0 && is_new_file)
        dst_sync_folder(dst->path);
    return err;
}

void dst_discard(dst_file* dst)
{
    if (dst->fd >= 0)
        close(dst->fd);
    dst->fd = -1;
    if (!dst->tmp_path.empty()) {
        const signals_held held;
        unlink(dst->tmp_path.c_str());
        dst_disarm_cleanup(dst);
        dst->tmp_path.clear();
    }
}
