// Pascal strings: a length byte followed by up to 255 bytes.
#include <cstring>

#include "vantrel/TextEncoding.h"

extern "C" {

void CopyPascalStringToC(ConstStr255Param src, char* dst) {
    if (dst == nullptr) return;
    if (src == nullptr) {
        dst[0] = '\0';
        return;
    }
    // memmove: src and dst may be the same buffer, the bytes then slide down
    // over the length byte.
    std::size_t n = src[0];
    std::memmove(dst, src + 1, n);
    dst[n] = '\0';
}

void CopyCStringToPascal(const char* src, Str255 dst) {
    if (dst == nullptr) return;
    if (src == nullptr) {
        dst[0] = 0;
        return;
    }
    std::size_t n = strnlen(src, 255);
    std::memmove(dst + 1, src, n);
    dst[0] = static_cast<unsigned char>(n);
}

}  // extern "C"
