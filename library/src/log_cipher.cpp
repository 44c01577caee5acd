#include "log_cipher.h"

#include <cryptopp/salsa.h>

namespace vxnlog {

// Changing either constant makes every log written so far unreadable with the
// new tools, and the old tools unable to read new logs.
const unsigned char log_key[log_key_size] = {'R', 't', '3', 'w', 'Q', 'm', '8', 'Z', 'p', 'L', 'c',
                                             '5', 'V', 'h', 'K', 'd', 'G', 'y', '7', 'N', 'b', 'X',
                                             '2', 's', 'J', 'f', '4', 'T', 'q', 'W', 'e', '9'};
const unsigned char log_iv[log_iv_size] = {'W', 'q', '4', 'Z', 'p', '7', 'L', 'b'};

void apply_log_key_stream(unsigned char* data, std::size_t size) {
    CryptoPP::Salsa20::Encryption cipher;
    cipher.SetKeyWithIV(log_key, log_key_size, log_iv, log_iv_size);
    cipher.ProcessData(data, data, size);
}

void apply_log_key_stream(std::string& data) {
    apply_log_key_stream(reinterpret_cast<unsigned char*>(data.data()), data.size());
}

std::string decrypt_buffered_log(std::string_view file_bytes) {
    std::string plain(file_bytes);
    apply_log_key_stream(plain);
    return plain;
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    // The writer only produces upper case, but a line that went through an
    // editor or a mail client may not have kept it; the bytes are the same.
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

std::optional<std::string> decode_rtlog_line(std::string_view hex_line) {
    if (!hex_line.empty() && hex_line.back() == '\r') {
        hex_line.remove_suffix(1);
    }
    if (hex_line.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes(hex_line.size() / 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = hex_value(hex_line[2 * i]);
        const int low = hex_value(hex_line[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<char>(high << 4 | low);
    }
    apply_log_key_stream(bytes);
    return bytes;
}

bool looks_like_rtlog(std::string_view file_bytes) {
    // A sample is enough to tell the two apart, and keeps the test cheap on
    // multi-megabyte files.
    const std::string_view sample = file_bytes.substr(0, 65536);
    if (sample.empty()) {
        return false;
    }
    std::size_t text = 0;
    for (const char c : sample) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == '\n' || c == '\r') {
            ++text;
        }
    }
    // Well above the ~7% of ciphertext, well below the 100% of an intact
    // per-record file, so that a few damaged lines still get reported as such
    // instead of being dumped as binary garbage.
    return text * 2 > sample.size();
}

}  // namespace vxnlog
