// The cipher of the diagnostic log files, shared by the two sink backends and
// by vxn-logdump.
//
// Both kinds of log file are Salsa20 with one fixed key and IV. That keeps
// the logs from casual reading; it is no protection, since the key ships in
// every copy of the library and of the dump tool.
//
// Buffered files (dpp_log_<n>.vxnlog written by crypt_log_sink_backend) are
// the record lines concatenated and encrypted as one stream from byte 0.
// Per-record files are one line per record: the upper-case hexadecimal form of
// that record's line, each encrypted from the start of the key stream.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vxnlog {

constexpr std::size_t log_key_size = 32;
constexpr std::size_t log_iv_size = 8;
extern const unsigned char log_key[log_key_size];
extern const unsigned char log_iv[log_iv_size];

// XORs the key stream, started afresh, into `data`. Encryption and decryption
// are the same operation.
void apply_log_key_stream(unsigned char* data, std::size_t size);
void apply_log_key_stream(std::string& data);

// The plain text of a buffered log file's bytes.
std::string decrypt_buffered_log(std::string_view file_bytes);

// The plain record line (with its own line feed) of one line of a per-record
// file, given without the file's line feed; a trailing carriage return is
// tolerated. No value when the line is not an even number of hexadecimal digits.
std::optional<std::string> decode_rtlog_line(std::string_view hex_line);

// Whether a log file's bytes look like a per-record file rather than a buffered
// one. Ciphertext is uniformly distributed, so only about one byte in fifteen
// of a buffered file is a hexadecimal digit or a line feed; a per-record file
// is nothing else, apart from damage.
bool looks_like_rtlog(std::string_view file_bytes);

}  // namespace vxnlog
