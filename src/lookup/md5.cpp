#include "lookup/md5.h"

#include "storage/charset.h"
#include "storage/texthelpers.h"

#include <QByteArray>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// Characters are encoded a chunk at a time so that a long text needs no second full-size copy,
// and input is let through between chunks (about 0.1 ms of work each).
constexpr qsizetype kChunkChars = 64 * 1024;

constexpr std::uint32_t rotl(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return z ^ (x & (y ^ z));
}
constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (z & (x ^ y));
}
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
constexpr std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

class Md5 {
  public:
    void update(const unsigned char* data, std::size_t size) {
        m_length += size;
        if (m_buffered > 0) {
            const std::size_t take = std::min(size, sizeof m_buffer - m_buffered);
            std::memcpy(m_buffer + m_buffered, data, take);
            m_buffered += take;
            data += take;
            size -= take;
            if (m_buffered < sizeof m_buffer)
                return;
            compress(m_buffer);
            m_buffered = 0;
        }
        for (; size >= 64; data += 64, size -= 64)
            compress(data);
        std::memcpy(m_buffer, data, size);
        m_buffered = size;
    }

    std::array<unsigned char, 16> finish() {
        const std::uint64_t bits = m_length * 8;
        static constexpr unsigned char padding[64] = {0x80};
        update(padding, m_buffered < 56 ? 56 - m_buffered : 120 - m_buffered);
        unsigned char lengthBytes[8];
        for (int i = 0; i < 8; ++i)
            lengthBytes[i] = static_cast<unsigned char>(bits >> (8 * i));
        update(lengthBytes, 8);

        std::array<unsigned char, 16> digest{};
        const std::uint32_t words[4] = {m_a, m_b, m_c, m_d};
        for (int i = 0; i < 16; ++i)
            digest[i] = static_cast<unsigned char>(words[i / 4] >> (8 * (i % 4)));
        return digest;
    }

  private:
    void compress(const unsigned char* block) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) {
            const unsigned char* p = block + 4 * i;
            x[i] = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                   std::uint32_t(p[3]) << 24;
        }
        std::uint32_t a = m_a, b = m_b, c = m_c, d = m_d;

#define MD5_STEP(f, a, b, c, d, k, s, t) a = b + rotl(a + f(b, c, d) + x[k] + t, s)

        MD5_STEP(F, a, b, c, d, 0, 7, 0xd76aa478);
        MD5_STEP(F, d, a, b, c, 1, 12, 0xe8c7b756);
        MD5_STEP(F, c, d, a, b, 2, 17, 0x242070db);
        MD5_STEP(F, b, c, d, a, 3, 22, 0xc1bdceee);
        MD5_STEP(F, a, b, c, d, 4, 7, 0xf57c0faf);
        MD5_STEP(F, d, a, b, c, 5, 12, 0x4787c62a);
        MD5_STEP(F, c, d, a, b, 6, 17, 0xa8304613);
        MD5_STEP(F, b, c, d, a, 7, 22, 0xfd469501);
        MD5_STEP(F, a, b, c, d, 8, 7, 0x698098d8);
        MD5_STEP(F, d, a, b, c, 9, 12, 0x8b44f7af);
        MD5_STEP(F, c, d, a, b, 10, 17, 0xffff5bb1);
        MD5_STEP(F, b, c, d, a, 11, 22, 0x895cd7be);
        MD5_STEP(F, a, b, c, d, 12, 7, 0x6b901122);
        MD5_STEP(F, d, a, b, c, 13, 12, 0xfd987193);
        MD5_STEP(F, c, d, a, b, 14, 17, 0xa679438e);
        MD5_STEP(F, b, c, d, a, 15, 22, 0x49b40821);

        MD5_STEP(G, a, b, c, d, 1, 5, 0xf61e2562);
        MD5_STEP(G, d, a, b, c, 6, 9, 0xc040b340);
        MD5_STEP(G, c, d, a, b, 11, 14, 0x265e5a51);
        MD5_STEP(G, b, c, d, a, 0, 20, 0xe9b6c7aa);
        MD5_STEP(G, a, b, c, d, 5, 5, 0xd62f105d);
        MD5_STEP(G, d, a, b, c, 10, 9, 0x02441453);
        MD5_STEP(G, c, d, a, b, 15, 14, 0xd8a1e681);
        MD5_STEP(G, b, c, d, a, 4, 20, 0xe7d3fbc8);
        MD5_STEP(G, a, b, c, d, 9, 5, 0x21e1cde6);
        MD5_STEP(G, d, a, b, c, 14, 9, 0xc33707d6);
        MD5_STEP(G, c, d, a, b, 3, 14, 0xf4d50d87);
        MD5_STEP(G, b, c, d, a, 8, 20, 0x455a14ed);
        MD5_STEP(G, a, b, c, d, 13, 5, 0xa9e3e905);
        MD5_STEP(G, d, a, b, c, 2, 9, 0xfcefa3f8);
        MD5_STEP(G, c, d, a, b, 7, 14, 0x676f02d9);
        MD5_STEP(G, b, c, d, a, 12, 20, 0x8d2a4c8a);

        MD5_STEP(H, a, b, c, d, 5, 4, 0xfffa3942);
        MD5_STEP(H, d, a, b, c, 8, 11, 0x8771f681);
        MD5_STEP(H, c, d, a, b, 11, 16, 0x6d9d6122);
        MD5_STEP(H, b, c, d, a, 14, 23, 0xfde5380c);
        MD5_STEP(H, a, b, c, d, 1, 4, 0xa4beea44);
        MD5_STEP(H, d, a, b, c, 4, 11, 0x4bdecfa9);
        MD5_STEP(H, c, d, a, b, 7, 16, 0xf6bb4b60);
        MD5_STEP(H, b, c, d, a, 10, 23, 0xbebfbc70);
        MD5_STEP(H, a, b, c, d, 13, 4, 0x289b7ec6);
        MD5_STEP(H, d, a, b, c, 0, 11, 0xeaa127fa);
        MD5_STEP(H, c, d, a, b, 3, 16, 0xd4ef3085);
        MD5_STEP(H, b, c, d, a, 6, 23, 0x04881d05);
        MD5_STEP(H, a, b, c, d, 9, 4, 0xd9d4d039);
        MD5_STEP(H, d, a, b, c, 12, 11, 0xe6db99e5);
        MD5_STEP(H, c, d, a, b, 15, 16, 0x1fa27cf8);
        MD5_STEP(H, b, c, d, a, 2, 23, 0xc4ac5665);

        MD5_STEP(I, a, b, c, d, 0, 6, 0xf4292244);
        MD5_STEP(I, d, a, b, c, 7, 10, 0x432aff97);
        MD5_STEP(I, c, d, a, b, 14, 15, 0xab9423a7);
        MD5_STEP(I, b, c, d, a, 5, 21, 0xfc93a039);
        MD5_STEP(I, a, b, c, d, 12, 6, 0x655b59c3);
        MD5_STEP(I, d, a, b, c, 3, 10, 0x8f0ccc92);
        MD5_STEP(I, c, d, a, b, 10, 15, 0xffeff47d);
        MD5_STEP(I, b, c, d, a, 1, 21, 0x85845dd1);
        MD5_STEP(I, a, b, c, d, 8, 6, 0x6fa87e4f);
        MD5_STEP(I, d, a, b, c, 15, 10, 0xfe2ce6e0);
        MD5_STEP(I, c, d, a, b, 6, 15, 0xa3014314);
        MD5_STEP(I, b, c, d, a, 13, 21, 0x4e0811a1);
        MD5_STEP(I, a, b, c, d, 4, 6, 0xf7537e82);
        MD5_STEP(I, d, a, b, c, 11, 10, 0xbd3af235);
        MD5_STEP(I, c, d, a, b, 2, 15, 0x2ad7d2bb);
        MD5_STEP(I, b, c, d, a, 9, 21, 0xeb86d391);

#undef MD5_STEP

        m_a += a;
        m_b += b;
        m_c += c;
        m_d += d;
    }

    std::uint32_t m_a = 0x67452301;
    std::uint32_t m_b = 0xefcdab89;
    std::uint32_t m_c = 0x98badcfe;
    std::uint32_t m_d = 0x10325476;
    std::uint64_t m_length = 0;
    unsigned char m_buffer[64] = {};
    std::size_t m_buffered = 0;
};

// Feeds chars[0, count) as GBK. ASCII, by far the common case, maps to itself byte for byte and
// skips the codec.
void feedChunk(Md5& md5, const QChar* chars, qsizetype count, QByteArray& scratch) {
    scratch.resize(count);
    char* out = scratch.data();
    for (qsizetype i = 0; i < count; ++i) {
        const char16_t unit = chars[i].unicode();
        if (unit >= 0x80) {
            const QByteArray gbk = ToGbk(QString(chars, count));
            md5.update(reinterpret_cast<const unsigned char*>(gbk.constData()),
                       std::size_t(gbk.size()));
            return;
        }
        out[i] = char(unit);
    }
    md5.update(reinterpret_cast<const unsigned char*>(out), std::size_t(count));
}

} // namespace

QString Md5Text(const QString& text, int width, bool upper) {
    if (width != 32 && width != 16)
        return QString();

    // A shared copy: the caller's string may change while input is handled between chunks.
    const QString source = text;
    const QChar* chars = source.constData();
    const qsizetype size = source.size();

    Md5 md5;
    QByteArray scratch;
    for (qsizetype pos = 0; pos < size;) {
        qsizetype count = std::min(kChunkChars, size - pos);
        // A surrogate pair must reach the codec whole.
        if (pos + count < size && chars[pos + count - 1].isHighSurrogate())
            ++count;
        feedChunk(md5, chars + pos, count, scratch);
        pos += count;
        PumpEvents();
    }

    const std::array<unsigned char, 16> digest = md5.finish();
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    const int first = width == 32 ? 0 : 4;
    QString hex;
    hex.reserve(width);
    for (int i = first; i < first + width / 2; ++i) {
        hex += QLatin1Char(digits[digest[i] >> 4]);
        hex += QLatin1Char(digits[digest[i] & 0x0f]);
    }
    return hex;
}
