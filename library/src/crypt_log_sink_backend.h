// Buffered encrypted log: record lines collect in memory and go to disk as a
// numbered series of Salsa20-encrypted files (dpp_log_0.vxnlog, ...), one per
// 10 MB of text and one at every flush. Used through a synchronous sink front
// end, which serialises all calls, so the backend keeps no lock of its own.
#pragma once

#include <boost/log/core/record_view.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vxnlog {

// The text both backends write for a record:
//   "[" time stamp "] [" process id ":" thread id "] <" severity "> " message "\n"
// An attribute the record lacks leaves its place between the separators empty.
std::string format_record_line(const boost::log::record_view& rec);

// The name of file `number`: the number goes after the eighth character of the
// configured name ("dpp_log_.vxnlog" -> "dpp_log_3.vxnlog").
std::string numbered_file_name(const char* file_name, std::uint32_t number);

}  // namespace vxnlog

class crypt_log_sink_backend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::combine_requirements<
          boost::log::sinks::synchronized_feeding, boost::log::sinks::flushing>::type> {
  public:
    // Text held back before a file is written. The record that crosses it pays
    // for encrypting and writing the whole file on its own thread.
    static constexpr std::size_t buffer_limit = 10'000'000;

    // `file_name` must stay valid for the backend's life; nothing is opened
    // until the first file is written.
    explicit crypt_log_sink_backend(const char* file_name);

    void consume(const boost::log::record_view& rec);

    // Writes the buffer as the next file, even when it is empty: a flush always
    // uses up a file number.
    void flush();

    // Encrypts the buffer into the file of the current number, then moves on to
    // the next number with an empty buffer. A file that cannot be written loses
    // its data silently: logging must never fail the caller.
    void write_data();

    std::uint32_t file_number() const { return file_number_; }
    std::size_t buffered_size() const { return buffer_.size(); }

  private:
    const char* file_name_;
    std::uint32_t file_number_ = 0;
    std::string buffer_;
};
