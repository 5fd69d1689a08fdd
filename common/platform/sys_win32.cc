// What the Windows form of the platform layer keeps apart: file kinds and identity,
// taking back an output, raw standard output.
#include "sys_io.h"

#include "art_status.h"

#include <cerrno>
#include <cstdio>
#include <windows.h>

namespace art {

namespace {

// Opens name for querying only, following links; INVALID_HANDLE_VALUE when it cannot.
HANDLE open_for_query(const char* name) {
    return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool empty_through(const HANDLE h) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

// Empties the file that name leads to.
bool empty_by_name(const char* name) {
    const HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

int error_code() {
    const DWORD e = GetLastError();
    if (e == ERROR_NOT_SAME_DEVICE) return EXDEV;
    return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION ? EACCES : EIO;
}

}  // namespace

int handle_type(const intptr_t handle) {
    return GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK ? 0 : ART_E_NOT_REGULAR;
}

namespace {

// Whether the process runs under wine, whose ntdll exports its version.
bool under_wine() {
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

// A handle on h's file that byte ranges can be locked through (one with read access), or
// h itself where the file cannot be opened so; the caller closes the one it was given.
HANDLE lockable(const HANDLE h) {
    const HANDLE r = ReOpenFile(h, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    return r != INVALID_HANDLE_VALUE ? r : h;
}

enum class lock_verdict { same, different, unknown };

// Asks the system's lock table whether a and b are open on one file: a lock taken through
// one blocks the same range through the other only then. The range is one byte far past
// any end of file that the programs write, held for no longer than the two calls.
// unknown when the first lock cannot be had (another process holds that byte, the file
// takes no locks) or the second fails for another reason than the first lock.
lock_verdict lock_test(const HANDLE a, const HANDLE b) {
    const HANDLE la = lockable(a), lb = lockable(b);
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFF0u;
    at.OffsetHigh = 0x7FFFFFFFu;
    const DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    lock_verdict verdict = lock_verdict::unknown;
    if (LockFileEx(la, now, 0, 1, 0, &at)) {
        if (LockFileEx(lb, now, 0, 1, 0, &at)) {
            UnlockFileEx(lb, 0, 1, 0, &at);
            verdict = lock_verdict::different;
        } else if (GetLastError() == ERROR_LOCK_VIOLATION) {
            verdict = lock_verdict::same;
        }
        UnlockFileEx(la, 0, 1, 0, &at);
    }
    if (la != a) CloseHandle(la);
    if (lb != b) CloseHandle(lb);
    return verdict;
}

// Whether both handles are open on files that count as one (sys_io.h): the same volume
// and file index, or, on two volumes, the same size, last write and change, which nothing
// that a handle says tells apart (one file of a Linux overlay, seen under wine through
// the overlay and through the path of its layer). Under wine the file index is the inode
// number, but the volume serial number comes from the drive letter that the path a file
// was opened by (its links followed) falls under: one file reached under drive_c and
// under / has two serials, and a file on another mount than that drive's folder has 0,
// so files of two such mounts can share both numbers. There serials tell volumes apart
// only when they agree and are not 0; else an equal file index is decided by the wine
// server's lock table, which knows files by device and inode (lock_test), and where that
// cannot answer, the files count as one.
bool same_identity(const HANDLE a, const HANDLE b) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!GetFileInformationByHandle(a, &ia) || !GetFileInformationByHandle(b, &ib)) return false;
    const bool same_index = ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
    // Serials that tell volumes apart: natively always, under wine only when they agree and are not 0.
    if (ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && (!under_wine() || ia.dwVolumeSerialNumber != 0))
        return same_index;
    FILE_BASIC_INFO ta{}, tb{};
    if (ia.nFileSizeHigh == ib.nFileSizeHigh && ia.nFileSizeLow == ib.nFileSizeLow &&
        (ia.nFileSizeHigh != 0 || ia.nFileSizeLow != 0 || same_index) &&
        GetFileInformationByHandleEx(a, FileBasicInfo, &ta, sizeof ta) &&
        GetFileInformationByHandleEx(b, FileBasicInfo, &tb, sizeof tb) &&
        ta.LastWriteTime.QuadPart == tb.LastWriteTime.QuadPart && ta.ChangeTime.QuadPart == tb.ChangeTime.QuadPart)
        return true;
    return same_index && under_wine() && lock_test(a, b) != lock_verdict::different;
}

// Whether name leads to the file that h is open on.
bool name_is(const char* name, const HANDLE h) {
    const HANDLE q = open_for_query(name);
    if (q == INVALID_HANDLE_VALUE) return false;
    const bool same = same_identity(q, h);
    CloseHandle(q);
    return same;
}

}  // namespace

bool same_open_file(const intptr_t a, const intptr_t b) {
    return same_identity(reinterpret_cast<HANDLE>(a), reinterpret_cast<HANDLE>(b));
}

bool same_file(const char* a, const char* b) {
    const HANDLE ha = open_for_query(a);
    if (ha == INVALID_HANDLE_VALUE) return false;
    const bool same = name_is(b, ha);
    CloseHandle(ha);
    return same;
}

bool name_leads_to(const char* name, const intptr_t handle) { return name_is(name, reinterpret_cast<HANDLE>(handle)); }

bool file_of_its_own(const char* name, const intptr_t handle) {
    const DWORD attributes = GetFileAttributesA(name);
    const auto h = reinterpret_cast<HANDLE>(handle);
    BY_HANDLE_FILE_INFORMATION info;
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & (FILE_ATTRIBUTE_REPARSE_POINT |
                                                                    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) &&
           GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) && info.nNumberOfLinks == 1 &&
           name_is(name, h);
}

bool stdout_is(const char* name) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_DISK && name_is(name, out);
}

namespace {

// The number of names that the file name leads to has; 0 when it cannot be known.
DWORD link_count(const char* name, const HANDLE h) {
    const HANDLE q = h != INVALID_HANDLE_VALUE ? h : open_for_query(name);
    if (q == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD links = GetFileInformationByHandle(q, &info) ? info.nNumberOfLinks : 0;
    if (q != h) CloseHandle(q);
    return links;
}

}  // namespace

int remove_partial_output(const char* name, const intptr_t handle, const bool created) {
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return 0;
    const auto h = handle == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(handle);
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) return 0;
    // Another file in the name's place: the one written may be another run's by now.
    if (h != INVALID_HANDLE_VALUE && !name_is(name, h)) return 0;
    // Under wine a symbolic link looks like the file it leads to, and deleting either
    // deletes that file: only an output that the run created new, with no other name, is
    // deleted. Any other is emptied, every name kept.
    if (!created || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || link_count(name, h) != 1) {
        const bool emptied = h != INVALID_HANDLE_VALUE ? empty_through(h) : empty_by_name(name);
        return emptied ? 0 : ART_E_NOT_EMPTIED;
    }
    if (h != INVALID_HANDLE_VALUE) {
        // Deleted once the last handle is closed.
        FILE_DISPOSITION_INFO dispose{};
        dispose.DeleteFile = TRUE;
        if (SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose)) return 0;
    } else if (DeleteFileA(name)) {
        return 0;
    }
    const int err = error_code();
    const bool emptied = h != INVALID_HANDLE_VALUE ? empty_through(h) : empty_by_name(name);
    return emptied ? err : ART_E_NOT_EMPTIED;
}

int replace_file(const char* from, const char* to, intptr_t) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : error_code();
}

bool file_read_only(const char* name) {
    const DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

// The file's security comes from its folder, as the replaced file's did; a read-only
// file is never replaced.
void take_attributes(intptr_t, const char*) {}

unsigned usable_cores() {
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
    unsigned count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count > 0 ? count : 1;
}

int stdout_write_raw(const char* data, const size_t size) {
    // The runtime's text stream would translate, and write, a few bytes at a time.
    if (std::fflush(stdout) != 0) return EIO;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (size_t done = 0; done < size;) {
        DWORD written = 0;
        if (!WriteFile(out, data + done, static_cast<DWORD>(request_size(size - done)), &written, nullptr) ||
            written == 0)
            return GetLastError() == ERROR_NO_DATA ? EPIPE : EIO;
        done += written;
    }
    return 0;
}

}  // namespace art
