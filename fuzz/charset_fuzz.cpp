// Charset detector over arbitrary bytes, each call on a block padded exactly
// as the driver pads it, so the sanitizer catches any read past the padding.
// Bytes after the first NUL must not count: the text up to it, padded alone,
// gives the same answer. The answer must name a set whose lead bytes occur.
#include "fuzz_support.h"

#include "table/charset.h"

static bool holds_byte_in(const std::string &text, unsigned char low, unsigned char high)
{
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b >= low && b <= high)
            return true;
    }
    return false;
}

static int detect_padded(const std::string &bytes)
{
    std::vector<char> padded = padded_copy(bytes);
    return detect_charset(reinterpret_cast<unsigned char *>(padded.data()));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    std::string text = bytes.substr(0, bytes.find('\0'));
    int code = detect_padded(bytes);
    require(code >= 1 && code <= 4, "code in 1..4");
    require(detect_padded(text) == code, "bytes after the first NUL do not count");
    if (code == charset_iso_2022_jp)
        require(holds_byte_in(text, 0x1B, 0x1B), "ISO-2022-JP needs an ESC");
    if (code == charset_shift_jis)
        require(holds_byte_in(text, 0x81, 0x9F), "Shift_JIS needs a lead byte");
    if (code == charset_euc_jp)
        require(holds_byte_in(text, 0xA1, 0xDF) || holds_byte_in(text, 0xF0, 0xFE),
                "EUC-JP needs a lead byte");
    return 0;
}
