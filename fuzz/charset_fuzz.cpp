// Charset detector over arbitrary bytes. The bytes up to the first NUL are
// given once in a block that ends right at that terminator, so a read past it
// is caught by the sanitizer, and once as the driver pads them: both calls
// must agree, and the answer must name a set whose lead bytes occur.
#include "fuzz_support.h"

#include "table/charset.h"

#include <cstring>

static bool holds_byte_in(const std::string &text, unsigned char low, unsigned char high)
{
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b >= low && b <= high)
            return true;
    }
    return false;
}

static int detect_up_to_terminator(const std::string &text)
{
    unsigned char *exact = static_cast<unsigned char *>(std::malloc(text.size() + 1));
    require(exact != nullptr, "block for the text");
    std::memcpy(exact, text.data(), text.size());
    exact[text.size()] = 0x00;
    int code = detect_charset(exact);
    std::free(exact);
    return code;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    std::string text = bytes.substr(0, bytes.find('\0'));
    int code = detect_up_to_terminator(text);
    require(code >= 1 && code <= 4, "code in 1..4");
    std::vector<char> padded = padded_copy(bytes);
    require(detect_charset(reinterpret_cast<unsigned char *>(padded.data())) == code,
            "bytes after the first NUL are not looked at");
    if (code == charset_iso_2022_jp)
        require(holds_byte_in(text, 0x1B, 0x1B), "ISO-2022-JP needs an ESC");
    if (code == charset_shift_jis)
        require(holds_byte_in(text, 0x81, 0x9F), "Shift_JIS needs a lead byte");
    if (code == charset_euc_jp)
        require(holds_byte_in(text, 0xA1, 0xDF) || holds_byte_in(text, 0xF0, 0xFE),
                "EUC-JP needs a lead byte");
    return 0;
}
