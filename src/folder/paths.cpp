// The name <-> path rule. Inside a part, these bytes are written as "%"
// and two upper-case hex digits: "%" itself, 0x00 to 0x1F and 0x7F,
// \ : * ? " < > |, and every byte that is not part of valid UTF-8. A part
// Windows cannot hold has one byte more escaped: the first of a device
// name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, alone or before a
// dot, any letter case), the last of a folder part ending in a dot or a
// space.
#include "folder/paths.h"

#include <cstdint>
#include <cstring>

namespace velmorin {
namespace {

const char hex_digits[] = "0123456789ABCDEF";

// The length of the valid UTF-8 sequence that starts at text[at], or 0.
size_t utf8_length(std::string_view text, size_t at) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t lead = byte(at);
    if (lead < 0x80) return 1;
    size_t n = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || text.size() - at < n) return 0;
    uint32_t code = lead & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(at + k) & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

bool kept_as_is(uint8_t b) { return b >= 0x20 && b != 0x7F && b != '%' && b != '/' && !strchr("\\:*?\"<>|", b); }

void escape_byte(std::string& out, uint8_t b) {
    out += '%';
    out += hex_digits[b >> 4];
    out += hex_digits[b & 15];
}

std::string escape_part(std::string_view part) {
    std::string out;
    for (size_t at = 0; at < part.size();) {
        uint8_t b = static_cast<uint8_t>(part[at]);
        size_t n = b >= 0x80 ? utf8_length(part, at) : kept_as_is(b) ? 1 : 0;
        if (n == 0) {
            escape_byte(out, b);
            n = 1;
        } else {
            out.append(part.substr(at, n));
        }
        at += n;
    }
    return out;
}

bool same_letters(std::string_view text, const char* lower) {
    if (text.size() != strlen(lower)) return false;
    for (size_t k = 0; k < text.size(); ++k)
        if ((text[k] >= 'A' && text[k] <= 'Z' ? text[k] + 32 : text[k]) != lower[k]) return false;
    return true;
}

// A device name of Windows: the part before its first dot, without the
// spaces that end it, is one of them (COM and LPT with a digit 1 to 9, or
// a superscript 1, 2 or 3).
bool device_name(std::string_view file) {
    std::string_view base = file.substr(0, file.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    for (const char* name : {"con", "prn", "aux", "nul"})
        if (same_letters(base, name)) return true;
    if (base.size() < 4 || !(same_letters(base.substr(0, 3), "com") || same_letters(base.substr(0, 3), "lpt")))
        return false;
    std::string_view number = base.substr(3);
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

// One part, escaped, and made one Windows can hold.
std::string path_part(std::string_view part, bool last) {
    std::string out = escape_part(part);
    if (last) out += ".png";
    if (device_name(out)) {
        std::string first;
        escape_byte(first, static_cast<uint8_t>(out[0]));
        out.replace(0, 1, first);
    }
    if (!last && !out.empty() && (out.back() == '.' || out.back() == ' ')) {
        std::string end;
        escape_byte(end, static_cast<uint8_t>(out.back()));
        out.replace(out.size() - 1, 1, end);
    }
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool unescape(std::string_view part, std::string* out) {
    for (size_t at = 0; at < part.size(); ++at) {
        if (part[at] != '%') {
            *out += part[at];
            continue;
        }
        if (part.size() - at < 3 || hex_value(part[at + 1]) < 0 || hex_value(part[at + 2]) < 0) return false;
        *out += static_cast<char>(hex_value(part[at + 1]) << 4 | hex_value(part[at + 2]));
        at += 2;
    }
    return true;
}

}  // namespace

std::string folder_path(std::string_view typed) {
    while (typed.size() > 1 && typed.back() == '/') typed.remove_suffix(1);
    return std::string(typed);
}

std::vector<std::string> path_of_name(std::string_view name) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        size_t slash = name.find('/', start);
        parts.push_back(name.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    // A part no file system can name makes the whole name one file.
    for (std::string_view part : parts)
        if (part.empty() || part == "." || part == "..") return {path_part(name, true)};
    std::vector<std::string> path;
    for (size_t k = 0; k < parts.size(); ++k) path.push_back(path_part(parts[k], k + 1 == parts.size()));
    return path;
}

bool name_of_path(const std::vector<std::string>& parts, std::string* name) {
    if (parts.empty()) return false;
    const std::string& last = parts.back();
    std::string_view suffix = last.size() >= 4 ? std::string_view(last).substr(last.size() - 4) : "";
    if (!same_letters(suffix, ".png") && !same_letters(suffix, ".bmp")) return false;
    name->clear();
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) *name += '/';
        std::string_view part = parts[k];
        if (k + 1 == parts.size()) part.remove_suffix(4);
        if (!unescape(part, name)) return false;
    }
    return true;
}

}  // namespace velmorin
