#include "log_cipher.h"

#include <cryptopp/salsa.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(byte(generator));
    }
    return bytes;
}

std::string to_upper_hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

TEST(LogCipher, RoundTripKeepsEveryByteAndTheLength) {
    for (const std::size_t size : {0u, 1u, 63u, 64u, 65u, 100000u}) {
        const std::string plain = random_bytes(size, static_cast<unsigned>(size));
        std::string data = plain;
        vxnlog::apply_log_key_stream(data);
        ASSERT_EQ(data.size(), plain.size());
        if (size >= 16) {
            EXPECT_NE(data, plain) << "size " << size;
        }
        EXPECT_EQ(vxnlog::decrypt_buffered_log(data), plain) << "size " << size;
    }
}

// Logs already out in the field were written with this key and IV; the key
// stream must stay Salsa20/20 keyed with exactly these texts.
TEST(LogCipher, KeyStreamIsSalsa20WithTheLibraryKeyAndIv) {
    const std::string key = "Rt3wQm8ZpLc5VhKdGy7NbX2sJf4TqWe9";
    const std::string iv = "Wq4Zp7Lb";
    ASSERT_EQ(key.size(), vxnlog::log_key_size);
    ASSERT_EQ(iv.size(), vxnlog::log_iv_size);

    std::string expected(1000, '\0');
    CryptoPP::Salsa20::Encryption reference;
    reference.SetKeyWithIV(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size(),
                           reinterpret_cast<const CryptoPP::byte*>(iv.data()), iv.size());
    reference.ProcessData(reinterpret_cast<CryptoPP::byte*>(expected.data()),
                          reinterpret_cast<const CryptoPP::byte*>(expected.data()),
                          expected.size());

    std::string key_stream(1000, '\0');
    vxnlog::apply_log_key_stream(key_stream);
    EXPECT_EQ(key_stream, expected);
}

TEST(LogCipher, EveryCallStartsTheKeyStreamAfresh) {
    std::string first(100, 'x');
    std::string second(100, 'x');
    vxnlog::apply_log_key_stream(first);
    vxnlog::apply_log_key_stream(second);
    EXPECT_EQ(first, second);
}

TEST(LogCipher, DecodesPerRecordLines) {
    const std::string record = "[2024-Mar-05 14:03:07] [0x1:0x2] <3> hello\n";
    std::string cipher = record;
    vxnlog::apply_log_key_stream(cipher);
    const std::string hex = to_upper_hex(cipher);

    struct {
        const char* what;
        std::string line;
    } const cases[] = {
        {"upper case as written", hex},
        {"carriage return of a line edited elsewhere", hex + "\r"},
        {"lower case of a line edited elsewhere",
         [&] {
             std::string lower = hex;
             for (char& c : lower) {
                 c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
             }
             return lower;
         }()},
    };
    for (const auto& c : cases) {
        const auto plain = vxnlog::decode_rtlog_line(c.line);
        ASSERT_TRUE(plain.has_value()) << c.what;
        EXPECT_EQ(*plain, record) << c.what;
    }
}

TEST(LogCipher, RejectsMalformedPerRecordLines) {
    const char* const malformed[] = {
        "ABC",    // odd number of digits: a line cut in the middle of a byte
        "ABCG",   // not a hexadecimal digit
        "AB CD",  // separator
        "AB:CD",  // separator
        "0A\n",   // line feed belongs to the file, not the line
        "\r\r",   // only one trailing carriage return is tolerated
    };
    for (const char* line : malformed) {
        EXPECT_FALSE(vxnlog::decode_rtlog_line(line).has_value()) << '"' << line << '"';
    }
    EXPECT_FALSE(vxnlog::decode_rtlog_line(std::string_view("AB\0D", 4)).has_value())
        << "embedded NUL";
}

TEST(LogCipher, TellsPerRecordFilesFromBufferedOnes) {
    const std::string hex_line = std::string(120, 'A') + "0123456789ABCDEF\n";
    std::string damaged = hex_line + "not hex at all\n" + hex_line + hex_line;

    struct {
        const char* what;
        std::string bytes;
        bool rt;
    } const cases[] = {
        {"per-record lines", hex_line + hex_line, true},
        {"per-record lines with a damaged one", damaged, true},
        {"per-record lines with carriage returns", std::string(64, 'F') + "\r\n", true},
        {"ciphertext", random_bytes(5000, 7), false},
        {"short ciphertext", random_bytes(70, 8), false},
        {"empty file", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vxnlog::looks_like_rtlog(c.bytes), c.rt) << c.what;
    }
}

}  // namespace
