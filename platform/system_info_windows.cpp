// Windows side of platform/system_info.h.
#include "platform/system_info.h"

#include "platform/windows_support.h"

bool get_program_path(char* out, size_t cap)
{
    if (cap == 0) return false;
    out[0] = 0;
    wchar_t wide[WIDE_PATH_CAP];
    const DWORD n = GetModuleFileNameW(nullptr, wide, WIDE_PATH_CAP);
    // A result that fills the whole buffer may have been cut short.
    if (n == 0 || n >= WIDE_PATH_CAP) return false;
    return to_utf8_text(wide, out, cap);
}

bool get_current_directory(char* out, size_t cap)
{
    if (cap == 0) return false;
    out[0] = 0;
    wchar_t wide[WIDE_PATH_CAP];
    const DWORD n = GetCurrentDirectoryW(WIDE_PATH_CAP, wide);
    if (n == 0 || n >= WIDE_PATH_CAP) return false;
    return to_utf8_text(wide, out, cap);
}

uint32_t get_processor_count()
{
    // The processors this process may run on (its affinity).
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask != 0) {
        uint32_t n = 0;
        for (DWORD_PTR m = process_mask; m != 0; m &= m - 1) ++n;
        return n;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors < 1 ? 1u : static_cast<uint32_t>(info.dwNumberOfProcessors);
}

void pause_milliseconds(uint32_t ms) { Sleep(ms); }
