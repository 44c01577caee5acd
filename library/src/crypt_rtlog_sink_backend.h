// Per-record encrypted log: every record goes to dpp_log_0.vxnlog at once, as
// one line of upper-case hexadecimal ciphertext, and the file is flushed after
// each line, so that the log survives a crash of the host process up to its
// last record. Used through a synchronous sink front end, which serialises all
// calls, so the backend keeps no lock of its own.
#pragma once

#include <boost/log/core/record_view.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <cstdint>
#include <fstream>
#include <string>

class crypt_rtlog_sink_backend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::combine_requirements<
          boost::log::sinks::synchronized_feeding, boost::log::sinks::flushing>::type> {
  public:
    // Opens file number 0 for appending: every run of a program adds to the
    // same file. `file_name` must stay valid for the backend's life.
    explicit crypt_rtlog_sink_backend(const char* file_name);

    void consume(const boost::log::record_view& rec);

    // Closes the file; records that arrive afterwards are dropped.
    void flush();

    // Writes one record line: encrypted (in place, in `line`) from the start of
    // the key stream, so that each line can be decoded on its own, then as hex,
    // a line feed, and a flush. Write failures are swallowed: logging must
    // never fail the caller.
    void write_data(std::string& line);

  private:
    // Declared before the stream, which is opened from them.
    const char* file_name_;
    std::uint32_t file_number_ = 0;
    std::ofstream stream_;
};
