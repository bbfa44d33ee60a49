// Decodes arbitrary bytes as GBK; storing the text and reading it back is stable after one
// round (characters GBK lacks have become "?" once and for all).

#include "fuzzsupport.h"

#include "storage/charset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = bytesOf(data, size);
    const QString text = DecodeGbk(bytes);
    FUZZ_CHECK(text.isEmpty() == bytes.isEmpty());
    const QString once = DecodeGbk(ToGbk(text));
    FUZZ_CHECK(DecodeGbk(ToGbk(once)) == once);
    // The same bytes read as UTF-16 text: every character is stored as itself or as "?".
    const QString wide =
        QString::fromUtf16(reinterpret_cast<const char16_t*>(data), qsizetype(size / 2));
    const QString stored = DecodeGbk(ToGbk(wide));
    FUZZ_CHECK(DecodeGbk(ToGbk(stored)) == stored);
    return 0;
}
