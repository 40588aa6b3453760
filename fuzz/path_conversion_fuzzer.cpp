// Feeds arbitrary bytes to the conversion of the JVM's modified UTF-8 and checks every answer
// against a decoder written here from the definition, one UTF-16 unit at a time:
// - accepted: the output is well-formed UTF-8, fits the buffer, and stands for exactly the
//   characters of the input;
// - refused: the input is malformed (truncated, overlong, a byte no form starts with, a lone
//   surrogate), holds a NUL, or its conversion does not fit.
// The first byte chooses the buffer size (0xFF: the entry point's own), the rest up to a NUL is
// the string.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "jni/path_conversion.h"

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The input as UTF-16 units, or nothing when it is not modified UTF-8 in its shortest forms.
std::optional<std::u16string> decodeModifiedUtf8(const std::string& in) {
    std::u16string units;
    for (std::size_t at = 0; at < in.size();) {
        const auto lead = static_cast<unsigned char>(in[at]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 0;
        if (length == 0 || at + length > in.size()) return std::nullopt;
        std::uint32_t unit = length == 1 ? lead : length == 2 ? lead & 0x1Fu : lead & 0x0Fu;
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(in[at + i]);
            if (!isContinuation(next)) return std::nullopt;
            unit = unit << 6 | (next & 0x3Fu);
        }
        // The JVM writes NUL in two bytes; every other form must be the shortest.
        bool shortest =
            length == 1 || (length == 2 && unit >= 0x80) || (length == 3 && unit >= 0x800);
        bool twoByteNul = length == 2 && unit == 0 && lead == 0xC0;
        if (!shortest && !twoByteNul) return std::nullopt;
        units.push_back(static_cast<char16_t>(unit));
        at += length;
    }
    return units;
}

// The characters the units stand for, or nothing when a surrogate is unpaired.
std::optional<std::vector<std::uint32_t>> codePoints(const std::u16string& units) {
    std::vector<std::uint32_t> points;
    for (std::size_t at = 0; at < units.size(); ++at) {
        std::uint32_t unit = units[at];
        if (unit >= 0xDC00 && unit <= 0xDFFF) return std::nullopt;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (at + 1 == units.size() || units[at + 1] < 0xDC00 || units[at + 1] > 0xDFFF) {
                return std::nullopt;
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (units[++at] - 0xDC00u);
        }
        points.push_back(unit);
    }
    return points;
}

// Standard UTF-8 read strictly: shortest forms, no surrogates, nothing above U+10FFFF.
std::optional<std::vector<std::uint32_t>> decodeUtf8(const std::string& in) {
    std::vector<std::uint32_t> points;
    for (std::size_t at = 0; at < in.size();) {
        const auto lead = static_cast<unsigned char>(in[at]);
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
        if (length == 0 || at + length > in.size()) return std::nullopt;
        std::uint32_t point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(in[at + i]);
            if (!isContinuation(next)) return std::nullopt;
            point = point << 6 | (next & 0x3Fu);
        }
        const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return std::nullopt;
        }
        points.push_back(point);
        at += length;
    }
    return points;
}

std::size_t utf8Length(const std::vector<std::uint32_t>& points) {
    std::size_t length = 0;
    for (std::uint32_t point : points)
        length += point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
    return length;
}

void check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // What GetStringUTFChars hands over is NUL-terminated.
    std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    input.resize(input.find('\0') == std::string::npos ? input.size() : input.find('\0'));
    // 0xFF: the room the entry point gives any path, its own length and the NUL.
    const std::size_t capacity = data[0] == 0xFF ? input.size() + 1 : 1 + data[0] % 64;

    // A guard byte past the buffer catches any write beyond it.
    std::vector<char> out(capacity + 1, '\x5A');
    bool accepted = modifiedUtf8ToUtf8(input.c_str(), out.data(), capacity);
    check(out[capacity] == '\x5A');

    std::optional<std::u16string> units = decodeModifiedUtf8(input);
    std::optional<std::vector<std::uint32_t>> points =
        units ? codePoints(*units) : std::optional<std::vector<std::uint32_t>>();
    bool hasNul = units && units->find(u'\0') != std::u16string::npos;
    bool fits = points && utf8Length(*points) < capacity;
    check(accepted == (points && !hasNul && fits));
    if (!accepted) return 0;

    std::string output(out.data());
    check(output.size() < capacity && output.size() <= input.size());
    check(decodeUtf8(output) == points);
    return 0;
}
