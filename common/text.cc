#include "text.h"

#include <string>

size_t utf8Sequence(const char* text, const char* end) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned c = *p;
    // The length of the sequence and the range of its second byte.
    size_t length = 0;
    unsigned low = 0x80, high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf)
        length = 2;
    else if (c >= 0xe0 && c <= 0xef)
        length = 3, low = c == 0xe0 ? 0xa0 : 0x80, high = c == 0xed ? 0x9f : 0xbf;
    else if (c >= 0xf0 && c <= 0xf4)
        length = 4, low = c == 0xf0 ? 0x90 : 0x80, high = c == 0xf4 ? 0x8f : 0xbf;
    bool valid =
        length != 0 && static_cast<size_t>(end - text) >= length && p[1] >= low && p[1] <= high;
    for (size_t i = 2; valid && i < length; ++i) valid = (p[i] & 0xc0) == 0x80;
    return valid ? length : 0;
}

std::string xmlText(std::string_view text) {
    static const char replacement[] = "\xef\xbf\xbd";  // U+FFFD
    std::string out;
    const char* end = text.data() + text.size();
    for (const char* p = text.data(); p < end;) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x80) {
            const size_t n = utf8Sequence(p, end);
            out.append(n ? p : replacement, n ? n : 3);
            p += n ? n : 1;
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    out += replacement;
                else
                    out += static_cast<char>(c);
        }
        ++p;
    }
    return out;
}
