#include "crypt_log_sink_backend.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/date_time/posix_time/time_formatters.hpp>
#include <boost/log/attributes/current_process_id.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <fstream>
#include <sstream>

#include "Boost_Log.h"
#include "log_cipher.h"

namespace vxnlog {

std::string format_record_line(const boost::log::record_view& rec) {
    namespace logging = boost::log;
    const auto& values = rec.attribute_values();
    std::ostringstream line;
    line << '[';
    if (const auto stamp = logging::extract<boost::posix_time::ptime>("TimeStamp", values)) {
        // The simple form is exactly the layout the log readers expect: English
        // month abbreviation whatever the locale, fraction only when non-zero,
        // and the special values by name.
        line << boost::posix_time::to_simple_string(*stamp);
    }
    line << "] [";
    if (const auto pid = logging::extract<logging::process_id>("ProcessID", values)) {
        line << *pid;
    }
    line << ':';
    if (const auto tid = logging::extract<logging::thread_id>("ThreadID", values)) {
        line << *tid;
    }
    line << "] <";
    if (const auto level = logging::extract<severity_level>("Severity", values)) {
        line << static_cast<int>(*level);
    }
    line << "> ";
    if (const auto message = logging::extract<std::string>("Message", values)) {
        line << *message;
    }
    line << '\n';
    return std::move(line).str();
}

std::string numbered_file_name(const char* file_name, std::uint32_t number) {
    std::string name(file_name);
    // A name shorter than the prefix gets the number at its end rather than an
    // exception out of a log statement.
    name.insert(std::min<std::size_t>(8, name.size()), std::to_string(number));
    return name;
}

}  // namespace vxnlog

crypt_log_sink_backend::crypt_log_sink_backend(const char* file_name) : file_name_(file_name) {}

void crypt_log_sink_backend::consume(const boost::log::record_view& rec) {
    buffer_ += vxnlog::format_record_line(rec);
    if (buffer_.size() > buffer_limit) {
        write_data();
    }
}

void crypt_log_sink_backend::flush() {
    write_data();
}

void crypt_log_sink_backend::write_data() {
    const std::string name = vxnlog::numbered_file_name(file_name_, file_number_);
    // In place: the plain text is not needed any more, and a second 10 MB copy
    // would be.
    vxnlog::apply_log_key_stream(buffer_);
    std::ofstream file(name, std::ios::binary | std::ios::trunc);
    file.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    ++file_number_;
    buffer_.clear();
}
