#include "crypt_rtlog_sink_backend.h"

#include <cryptopp/files.h>
#include <cryptopp/hex.h>

#include "crypt_log_sink_backend.h"
#include "log_cipher.h"

crypt_rtlog_sink_backend::crypt_rtlog_sink_backend(const char* file_name)
    : file_name_(file_name),
      stream_(vxnlog::numbered_file_name(file_name_, file_number_), std::ios::out | std::ios::app) {
}

void crypt_rtlog_sink_backend::consume(const boost::log::record_view& rec) {
    std::string line = vxnlog::format_record_line(rec);
    write_data(line);
}

void crypt_rtlog_sink_backend::flush() {
    stream_.close();
}

void crypt_rtlog_sink_backend::write_data(std::string& line) {
    if (!stream_.is_open()) {
        return;
    }
    // A write that failed once (disk full) must not silence the log for the
    // rest of the run.
    stream_.clear();
    vxnlog::apply_log_key_stream(line);
    try {
        // Group size 0 means no separator is ever written, whatever it is set
        // to, so the line is one unbroken run of digits.
        CryptoPP::HexEncoder encoder(new CryptoPP::FileSink(stream_), true, 0, ":", "");
        encoder.Put(reinterpret_cast<const CryptoPP::byte*>(line.data()), line.size());
        encoder.MessageEnd();
    } catch (const CryptoPP::Exception&) {
        // FileSink throws when the stream fails. Still end the line, so that
        // a half-written record does not swallow the next one.
        stream_.clear();
    }
    stream_ << '\n';
    stream_.flush();
}
