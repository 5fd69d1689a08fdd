// What every form of the platform layer shares on POSIX systems: file kinds and
// identity, taking back an output, raw standard output.
#include "sys_io.h"

#include "art_status.h"
#include "posix_files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace art {

int handle_type(const intptr_t handle) {
    struct stat st;
    if (fstat(static_cast<int>(handle), &st) != 0) return errno;
    return S_ISREG(st.st_mode) ? 0 : S_ISDIR(st.st_mode) ? EISDIR : ART_E_NOT_REGULAR;
}

namespace {

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// The one rule of identity (sys_io.h): one device and inode, or, on two devices, one size
// and the same times. An overlay shows its files under its own device, with the inode
// number of the lower layer's file even once the file is copied up to the upper layer,
// and nothing that a descriptor says ties the two. Empty files made in the same tick of
// the clock (a file of /proc and a new output) are only taken for one by inode number.
bool one_file(const struct stat& a, const struct stat& b) {
    if (a.st_dev == b.st_dev) return a.st_ino == b.st_ino;
    return a.st_size == b.st_size && same_time(a.st_mtim, b.st_mtim) && same_time(a.st_ctim, b.st_ctim) &&
           (a.st_size > 0 || a.st_ino == b.st_ino);
}

}  // namespace

bool same_open_file(const intptr_t a, const intptr_t b) {
    struct stat sa, sb;
    return fstat(static_cast<int>(a), &sa) == 0 && fstat(static_cast<int>(b), &sb) == 0 && one_file(sa, sb);
}

bool same_file(const char* a, const char* b) {
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && one_file(sa, sb);
}

bool name_leads_to(const char* name, const intptr_t handle) {
    struct stat sn, sh;
    return stat(name, &sn) == 0 && fstat(static_cast<int>(handle), &sh) == 0 && sn.st_dev == sh.st_dev &&
           sn.st_ino == sh.st_ino;
}

bool file_of_its_own(const char* name, const intptr_t handle) {
    struct stat sn, sh;
    return lstat(name, &sn) == 0 && fstat(static_cast<int>(handle), &sh) == 0 && S_ISREG(sn.st_mode) &&
           sn.st_dev == sh.st_dev && sn.st_ino == sh.st_ino && sh.st_nlink == 1;
}

bool stdout_is(const char* name) {
    struct stat so, sn;
    return fstat(STDOUT_FILENO, &so) == 0 && (S_ISREG(so.st_mode) || S_ISFIFO(so.st_mode)) &&
           stat(name, &sn) == 0 && one_file(so, sn);
}

namespace {

// The path at the end of the chain of symbolic links that name starts (each relative one
// taken from its own link's folder), in buf: the first that is no link, or that does not
// exist; false when name is no link, or the chain is too long. Async-signal-safe.
bool link_target(const char* name, char* buf, const size_t cap) {
    char path[PATH_MAX], link[PATH_MAX];
    const size_t start = std::strlen(name);
    if (start + 1 > sizeof path) return false;
    std::memcpy(path, name, start + 1);
    struct stat st;
    for (int step = 0; step < 32; ++step) {
        if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) {
            if (step == 0) return false;
            const size_t length = std::strlen(path);
            if (length + 1 > cap) return false;
            std::memcpy(buf, path, length + 1);
            return true;
        }
        const ssize_t n = readlink(path, link, sizeof link - 1);
        if (n <= 0) return false;
        const auto length = static_cast<size_t>(n);
        link[length] = '\0';
        const char* const slash = std::strrchr(path, '/');
        const size_t folder = link[0] != '/' && slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
        if (folder + length + 1 > sizeof path) return false;
        std::memmove(path + folder, link, length + 1);
    }
    return false;
}

}  // namespace

static int empty_file(const char* name, const intptr_t handle) {
    const int r = handle >= 0 ? ftruncate(static_cast<int>(handle), 0) : truncate(name, 0);
    return r == 0 ? 0 : errno;
}

static bool same_identity(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The file system tells a link from the file it leads to; a file that the run created
// through a symbolic link (one that led nowhere) is removed, the link kept. Where name no
// longer leads to the file that handle writes
// (another file was put in its place, or it was renamed), the file written is emptied
// only once no name at all leads to it: under another name it is another run's now.
int remove_partial_output(const char* name, const intptr_t handle, const bool created) {
    struct stat link, target, written;
    const bool open = handle >= 0 && fstat(static_cast<int>(handle), &written) == 0;
    const bool named = lstat(name, &link) == 0;
    const bool leads = named && stat(name, &target) == 0;
    if (open && !(leads && same_identity(target, written))) return written.st_nlink == 0 ? empty_file(name, handle) : 0;
    if (!named) return 0;
    if (S_ISREG(link.st_mode) && link.st_nlink == 1) {
        if (unlink(name) == 0) return 0;
        const int err = errno;
        return empty_file(name, handle) == 0 ? err : ART_E_NOT_EMPTIED;
    }
    char made[PATH_MAX];
    struct stat at;
    if (created && S_ISLNK(link.st_mode) && leads && S_ISREG(target.st_mode) && target.st_nlink == 1 &&
        link_target(name, made, sizeof made) && lstat(made, &at) == 0 && S_ISREG(at.st_mode) &&
        same_identity(at, target) && unlink(made) == 0)
        return 0;
    if ((S_ISREG(link.st_mode) || S_ISLNK(link.st_mode)) && leads && S_ISREG(target.st_mode)) {
        const int err = empty_file(name, handle);
        return err == 0 ? 0 : ART_E_NOT_EMPTIED;
    }
    return 0;
}

// The process's affinity where the system tells it (glibc, musl), else the processors
// online.
unsigned usable_cores() {
#if defined(__linux__) && defined(CPU_COUNT)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

int stdout_write_raw(const char* data, const size_t size) {
    errno = 0;
    if (std::fwrite(data, 1, size, stdout) == size) return 0;
    return errno != 0 ? errno : EIO;
}

int out_open(const char* name, out_file** f, bool* created, const bool own) {
    *f = nullptr;
    // Opened without waiting for a FIFO's reader, so that no open that may never end is
    // made while the output cannot be interrupted.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (own ? O_NOFOLLOW : 0);
    int fd;
    *created = true;
    do fd = open(name, flags | O_EXCL, 0666);
    while (fd < 0 && errno == EINTR);
    // A symbolic link that leads nowhere yet: the file it names is made new, the run's own
    // to take back.
    char target[PATH_MAX];
    struct stat st;
    if (fd < 0 && errno == EEXIST && !own && lstat(name, &st) == 0 && S_ISLNK(st.st_mode) && stat(name, &st) != 0 &&
        errno == ENOENT && link_target(name, target, sizeof target)) {
        do fd = open(target, flags | O_EXCL, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0 && errno == EEXIST) {
        *created = false;
        do fd = open(name, flags, 0666);
        while (fd < 0 && errno == EINTR);
    }
    // A symbolic link, which O_EXCL does not follow either.
    if (fd < 0 && own && errno == ELOOP) return ART_E_NOT_OWN;
    if (fd < 0) return errno;
    // Writes wait as usual.
    const int status = fcntl(fd, F_GETFL);
    if (status == -1 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1) {
        const int err = errno;
        close(fd);
        return err;
    }
    return out_from_fd(fd, f);
}

int out_open_waiting(const char* name, out_file** f) {
    *f = nullptr;
    int fd;
    do fd = open(name, O_WRONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? errno : out_from_fd(fd, f);
}

namespace {

// Who holds the lock that keeps the open file fd from a write lock, other than fd's own
// open file (and, with the older kind of lock, this process): ART_E_BEING_READ for a
// shared one, ART_E_LOCKED for a write lock, 0 for none.
int other_lock(const int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int err = 0;
#ifdef F_OFD_GETLK
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) err = errno;
    if (err == EINVAL) {
        lock.l_type = F_WRLCK;
#endif
        err = fcntl(fd, F_GETLK, &lock) == 0 ? 0 : errno;
#ifdef F_OFD_GETLK
    }
#endif
    if (err != 0 || lock.l_type == F_UNLCK) return 0;
    return lock.l_type == F_RDLCK ? ART_E_BEING_READ : ART_E_LOCKED;
}

}  // namespace

int posix_lock(const int fd, const bool exclusive, int* hold) {
    struct flock lock {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    int err = 0;
#ifdef F_OFD_SETLK
    // Held by the open file, whichever descriptor of it closes first.
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) err = errno;
    if (err == EINVAL)
#endif
        err = fcntl(fd, F_SETLK, &lock) == 0 ? 0 : errno;
    if (err == EAGAIN || err == EACCES) {
        // Told apart once the lock is known to be taken; one let go in the meantime is
        // still said as a writer's.
        const int holder = other_lock(fd);
        return holder != 0 ? holder : ART_E_LOCKED;
    }
    if (err == ENOLCK || err == EINVAL || err == EOPNOTSUPP) err = ART_E_NO_LOCKS;
    else if (err != 0) return err;
    if (hold == nullptr) return err;
    *hold = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return *hold < 0 ? errno : err;
}

// Where the file can be opened again for writing (through /proc/self/fd on Linux), its
// shared lock gives way to a write lock, held from here: a reader that comes after is
// refused as by a writer. Elsewhere the lock table is only asked.
int posix_being_read(const int fd, int* alone) {
#ifdef __linux__
    const std::string again = "/proc/self/fd/" + std::to_string(fd);
    const int w = open(again.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (w >= 0) {
        // Two open files of one process have locks of their own: this one's shared lock
        // would keep the other from its write lock.
        struct flock unlock {};
        unlock.l_type = F_UNLCK;
        unlock.l_whence = SEEK_SET;
#ifdef F_OFD_SETLK
        if (fcntl(fd, F_OFD_SETLK, &unlock) != 0 && errno == EINVAL)
#endif
            fcntl(fd, F_SETLK, &unlock);
        const int err = posix_lock(w, true, nullptr);
        if (err == 0 || err == ART_E_NO_LOCKS) {
            *alone = w;
            return 0;
        }
        close(w);
        return err;
    }
#endif
    (void)alone;
    return other_lock(fd);
}

namespace {

// Puts from in to's place where to still leads to the file open on expected: the two
// names are swapped in one step, then the file swapped out is looked at, and swapped back
// when it is another (put there since the caller's last check). Where names cannot be
// swapped, a rename.
int swap_into_place(const char* from, const char* to, const intptr_t expected) {
#ifdef RENAME_EXCHANGE
    struct stat was, held;
    if (expected >= 0 && renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
        if (stat(from, &was) != 0 || fstat(static_cast<int>(expected), &held) != 0 || !same_identity(was, held))
            return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0 ? ART_E_CHANGED : ART_E_NOT_SWAPPED_BACK;
        return unlink(from) == 0 ? 0 : errno;
    }
    if (expected >= 0 && errno == ENOENT) return ART_E_CHANGED;  // to is gone
#endif
    // Where names cannot be swapped, the check comes as close to the rename as it can.
    if (expected >= 0 && !name_leads_to(to, expected)) return ART_E_CHANGED;
    return rename(from, to) == 0 ? 0 : errno;
}

}  // namespace

// The folder of to is synced after the rename, so that the new name outlasts a power
// loss: the file itself was synced before (out_sync).
int replace_file(const char* from, const char* to, const intptr_t expected) {
    if (const int err = swap_into_place(from, to, expected)) return err;
    const char* const slash = std::strrchr(to, '/');
    const std::string folder = slash == nullptr ? "." : slash == to ? "/" : std::string(to, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    // A folder that takes no sync (EINVAL on some file systems) is as durable as it can be.
    const int err = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    close(fd);
    return err;
}

bool file_read_only(const char* name) {
    struct stat st;
    return stat(name, &st) == 0 && ((st.st_mode & 0222) == 0 || faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0);
}

void take_attributes(const intptr_t handle, const char* name) {
    struct stat st;
    if (stat(name, &st) != 0) return;
    const int fd = static_cast<int>(handle);
    // The owner and the group where the run may set them (root, or a group of the
    // runner's), then the mode, which a change of owner may have cleared bits of.
    if (fchown(fd, st.st_uid, st.st_gid) != 0) (void)!fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    (void)!fchmod(fd, st.st_mode & 07777);
}

int posix_empty(const int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    return st.st_size == 0 || ftruncate(fd, 0) == 0 ? 0 : errno;
}

posix_stamp posix_stamp_of(const int fd) {
    struct stat st {};
    fstat(fd, &st);
    return {st.st_mtim, st.st_ctim};
}

// The change time also catches a write whose modification time was set back; it is not
// compared once the file has no name left (another file was renamed over it, which
// changes nothing of what the run reads through its open file).
int posix_check_unchanged(const int fd, const uint64_t size, const posix_stamp& opened) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    const auto now = static_cast<uint64_t>(st.st_size);
    if (now != size) return now < size ? ART_E_SHORT_READ : ART_E_GREW;
    const bool unchanged =
        same_time(st.st_mtim, opened.modified) && (st.st_nlink == 0 || same_time(st.st_ctim, opened.changed));
    return unchanged ? 0 : ART_E_CHANGED;
}

}  // namespace art
