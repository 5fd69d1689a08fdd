// What the Windows form of the platform layer keeps apart: file kinds and identity,
// taking back an output, raw standard output.
#include "sys_io.h"

#include "art_status.h"

#include <cerrno>
#include <cstdio>
#include <windows.h>

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
    return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION ? EACCES : EIO;
}

}  // namespace

int handle_type(const intptr_t handle) {
    return GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK ? 0 : ART_E_NOT_REGULAR;
}

namespace {

// Whether both handles are open on one file: the same volume and file index.
bool same_identity(const HANDLE a, const HANDLE b) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return GetFileInformationByHandle(a, &ia) && GetFileInformationByHandle(b, &ib) &&
           ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
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

bool same_file(const char* a, const char* b) {
    const HANDLE ha = open_for_query(a);
    if (ha == INVALID_HANDLE_VALUE) return false;
    const bool same = name_is(b, ha);
    CloseHandle(ha);
    return same;
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
    // Under wine a symbolic link looks like the file it leads to, and deleting either
    // deletes that file: only an output that the run created new, with no other name, is
    // deleted. Any other is emptied, every name kept.
    if (!created || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || link_count(name, h) != 1) {
        if (h != INVALID_HANDLE_VALUE ? empty_through(h) : empty_by_name(name)) return 0;
        return error_code();
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
    if (h != INVALID_HANDLE_VALUE) empty_through(h); else empty_by_name(name);
    return err;
}

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
