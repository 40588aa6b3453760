#include "jni/path_conversion.h"

#include <cstdint>

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Decodes one two- or three-byte sequence at `in` into a UTF-16 unit. Returns the bytes used,
// or 0 when malformed. NUL (C0 80) comes back as 0 with length 2.
std::size_t decodeUnit(const unsigned char* in, std::uint32_t* unit) {
    if ((in[0] & 0xE0) == 0xC0) {
        if (!isContinuation(in[1])) return 0;
        *unit = (in[0] & 0x1Fu) << 6 | (in[1] & 0x3Fu);
        // Only NUL may take the overlong two-byte form.
        return *unit >= 0x80 || (in[0] == 0xC0 && in[1] == 0x80) ? 2 : 0;
    }
    if ((in[0] & 0xF0) == 0xE0) {
        if (!isContinuation(in[1]) || !isContinuation(in[2])) return 0;
        *unit = (in[0] & 0x0Fu) << 12 | (in[1] & 0x3Fu) << 6 | (in[2] & 0x3Fu);
        return *unit >= 0x800 ? 3 : 0;
    }
    return 0;
}

bool isHighSurrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(std::uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

std::size_t encode(std::uint32_t codePoint, char* out) {
    if (codePoint < 0x800) {
        out[0] = static_cast<char>(0xC0 | codePoint >> 6);
        out[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
        return 2;
    }
    if (codePoint < 0x10000) {
        out[0] = static_cast<char>(0xE0 | codePoint >> 12);
        out[1] = static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
        out[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | codePoint >> 18);
    out[1] = static_cast<char>(0x80 | (codePoint >> 12 & 0x3F));
    out[2] = static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
    out[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 4;
}

}  // namespace

bool modifiedUtf8ToUtf8(const char* in, char* out, std::size_t capacity) {
    const auto* at = reinterpret_cast<const unsigned char*>(in);
    std::size_t written = 0;
    while (*at != 0) {
        if (*at < 0x80) {
            if (written + 1 >= capacity) return false;
            out[written++] = static_cast<char>(*at++);
            continue;
        }
        std::uint32_t unit = 0;
        std::size_t used = decodeUnit(at, &unit);
        if (used == 0 || unit == 0 || isLowSurrogate(unit)) return false;
        at += used;
        std::uint32_t codePoint = unit;
        if (isHighSurrogate(unit)) {
            std::uint32_t low = 0;
            if (decodeUnit(at, &low) != 3 || !isLowSurrogate(low)) return false;
            at += 3;
            codePoint = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        char encoded[4];
        std::size_t length = encode(codePoint, encoded);
        if (written + length >= capacity) return false;
        for (std::size_t i = 0; i < length; ++i)
            out[written++] = encoded[i];
    }
    if (written >= capacity) return false;
    out[written] = '\0';
    return true;
}
