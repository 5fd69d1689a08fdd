// File identity and clean-up on Windows.
#include "sys_io.h"

#include <windows.h>

namespace {

// Opens name for querying only, following links; INVALID_HANDLE_VALUE when it cannot.
HANDLE open_for_query(const char* name) {
    return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool same_file(const char* a, const char* b) {
    const HANDLE ha = open_for_query(a);
    if (ha == INVALID_HANDLE_VALUE) return false;
    const HANDLE hb = open_for_query(b);
    BY_HANDLE_FILE_INFORMATION ia, ib;
    const bool same = hb != INVALID_HANDLE_VALUE && GetFileInformationByHandle(ha, &ia) &&
                      GetFileInformationByHandle(hb, &ib) &&
                      ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
                      ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
    CloseHandle(ha);
    if (hb != INVALID_HANDLE_VALUE) CloseHandle(hb);
    return same;
}

void remove_partial_output(const char* name) {
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: empty the file that it leads to, keep the link.
        const HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return;
    }
    DeleteFileA(name);
}
