#include "platform/windows_support.h"

#include <cstring>

bool to_wide_path(const char* path, wchar_t* out, size_t cap)
{
    if (cap == 0) return false;
    out[0] = 0;
    const size_t n = std::strlen(path);
    if (n > PLATFORM_PATH_LIMIT) return false;
    if (n == 0) return true;
    const int got = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, static_cast<int>(n), out,
                                        static_cast<int>(cap - 1));
    if (got <= 0) {
        out[0] = 0;
        return false;
    }
    out[got] = 0;
    for (int i = 0; i < got; ++i)
        if (out[i] == L'/') out[i] = L'\\';
    return true;
}

bool to_utf8_text(const wchar_t* text, char* out, size_t cap)
{
    if (cap == 0) return false;
    out[0] = 0;
    if (text[0] == 0) return true;
    const int got = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, static_cast<int>(cap), nullptr, nullptr);
    if (got <= 0) {
        out[0] = 0;
        return false;
    }
    return true;
}
