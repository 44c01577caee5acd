// Set-up of the diagnostic log and the log statement's record.
//
// Logging is off unless a marker file sits next to the library or next to the
// executable when the library is loaded:
//   enable_log.vxn    buffered encrypted files (crypt_log_sink_backend)
//   enable_rtlog.vxn  one encrypted hex line per record (crypt_rtlog_sink_backend)
// The marker holds the minimum severity as a decimal number; an empty marker
// keeps everything. Customers switch logging on for support this way, without
// any API call and without rebuilding their application.
#include "Boost_Log.h"

#include <dlfcn.h>
#include <unistd.h>

#include <boost/log/attributes/clock.hpp>
#include <boost/log/attributes/counter.hpp>
#include <boost/log/attributes/current_process_id.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sink.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>
#include <boost/log/utility/exception_handler.hpp>
#include <boost/smart_ptr/make_shared_object.hpp>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>

#include "crypt_log_sink_backend.h"
#include "crypt_rtlog_sink_backend.h"

namespace logging = boost::log;

std::atomic<bool> vxn_log_enabled{false};

std::ostream& operator<<(std::ostream& os, severity_level level) {
    static const char* const labels[] = {"VRB", "TRC", "DBG", "INF", "WAR", "ERR"};
    const int value = static_cast<int>(level);
    if (value >= 0 && value < static_cast<int>(std::size(labels))) {
        return os << labels[value];
    }
    return os << value;
}

namespace vxnlog {

namespace {

// Relative to the working directory of the host process; the backends put the
// file number after "dpp_log_".
const char* const log_file_name = "dpp_log_.vxnlog";

using main_logger_type = logging::sources::severity_channel_logger_mt<severity_level, std::string>;

// Everything of ours that logging keeps between set-up and tear-down. A
// function-local static, made at the first set-up: the load hook may run
// before this unit's own static initialisation, and the state must be made
// before the exit handler below is registered so that it dies after the
// handler has run.
struct logging_state {
    // The process-wide logger, thread-safe. Not an entry of Boost.Log's global
    // logger storage: that storage belongs to the logging library and would
    // keep the logger, whose code is ours, past an unload of this library and
    // destroy it at exit through unmapped code.
    main_logger_type logger;
    // The sink of the current set-up. The core belongs to the logging library
    // and may outlive this one (unloaded with dlclose); the sink holds code of
    // ours, so tear-down takes it back. Setting up again (tests do) starts by
    // taking back the sink of an earlier set-up.
    boost::shared_ptr<logging::sinks::sink> sink;
};

logging_state& state() {
    static logging_state instance;
    return instance;
}

main_logger_type& main_logger() {
    return state().logger;
}

// Whether set-up has used the logging core and no tear-down has run since.
std::atomic<bool> core_in_use{false};

void close_at_exit() {
    close_logging();
}

// At process exit, objects with static storage die in the reverse order of
// their making: the logging library's core, our logger and sink, and statics of
// this library made before logging was set up (which may still log as they
// go) all die before the library's unload hook runs. An exit handler
// registered right after the core and our state were made tears logging down
// while they still stand: buffered records get written, and later log
// statements see the flag down. The unload hook's own call then finds nothing
// left to do. On dlclose the handler runs as the library is unloaded.
boost::shared_ptr<logging::core> take_core() {
    const auto core = logging::core::get();
    state();
    static const bool registered = std::atexit(close_at_exit) == 0;
    (void)registered;
    core_in_use.store(true);
    return core;
}

void take_back(logging::core& core) {
    boost::shared_ptr<logging::sinks::sink>& sink = state().sink;
    if (sink) {
        core.remove_sink(sink);
        sink.reset();
    }
    core.reset_filter();
    core.set_exception_handler(logging::core::exception_handler_type());
}

// "/a/b/file" -> "/a/b", "/file" -> "" (the marker names start with '/').
std::string directory_of(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

}  // namespace

struct record::impl {
    explicit impl(logging::record&& opened)
        : rec(std::move(opened)), strm(rec), exceptions(std::uncaught_exceptions()) {}

    logging::record rec;
    logging::record_ostream strm;
    // A statement whose operands throw is unwound, not logged half-written.
    int exceptions;
};

record::record(const char* channel, severity_level level) {
    try {
        logging::record opened =
            main_logger().open_record((logging::keywords::channel = std::string(channel),
                                       logging::keywords::severity = level));
        if (opened) {
            impl_ = std::make_unique<impl>(std::move(opened));
            active_ = true;
        }
    } catch (...) {
        // A log statement never fails the code around it.
    }
}

record::~record() {
    if (!impl_) {
        return;
    }
    // Detaching moves what is still in the stream's buffer into the record's
    // message, which must happen before the record leaves.
    impl_->strm.detach_from_record();
    if (std::uncaught_exceptions() > impl_->exceptions) {
        return;
    }
    try {
        main_logger().push_record(std::move(impl_->rec));
    } catch (...) {
        // Nothing may leave a destructor, and the record is not worth a crash.
    }
}

std::ostream& record::stream() {
    return impl_->strm.stream();
}

bool init_logging_in(const std::string& library_dir, const std::string& executable_dir) {
    vxn_log_enabled.store(false);
    const auto core = take_core();
    take_back(*core);

    enum class mode { buffered, per_record };
    struct marker {
        const std::string& dir;
        const char* name;
        mode chosen;
    };
    // A buffered marker in either folder wins over a per-record one in either;
    // within a kind, the library's folder comes first.
    const marker markers[] = {{library_dir, "/enable_log.vxn", mode::buffered},
                              {executable_dir, "/enable_log.vxn", mode::buffered},
                              {library_dir, "/enable_rtlog.vxn", mode::per_record},
                              {executable_dir, "/enable_rtlog.vxn", mode::per_record}};
    const marker* found = nullptr;
    int min_severity = 0;
    for (const marker& m : markers) {
        std::ifstream in(m.dir + m.name);
        if (in.is_open()) {
            found = &m;
            // A marker that does not start with a number leaves 0: keep all.
            if (!(in >> min_severity)) {
                min_severity = 0;
            }
            break;
        }
    }
    if (found == nullptr) {
        core->set_logging_enabled(false);
        return false;
    }

    // Attributes of the logger rather than global ones of the core: every
    // record of the library carries them all the same, and the core, which
    // may outlive this library, never holds attribute objects whose code is
    // ours. (Global ones taken back at tear-down still left a process that
    // had unloaded the library crashing at exit.) An attribute already there
    // from an earlier set-up stays.
    main_logger_type& logger = main_logger();
    logger.add_attribute("LineID", logging::attributes::counter<unsigned int>(1));
    logger.add_attribute("TimeStamp", logging::attributes::local_clock());
    logger.add_attribute("ProcessID", logging::attributes::current_process_id());
    logger.add_attribute("ThreadID", logging::attributes::current_thread_id());

    // Both backends are built whatever the mode, as the library has always
    // done: the per-record one opens dpp_log_0.vxnlog when built, so in either
    // mode that file exists as soon as logging is on (empty, in buffered mode,
    // until the first buffered file replaces it).
    const auto buffered = boost::make_shared<crypt_log_sink_backend>(log_file_name);
    const auto per_record = boost::make_shared<crypt_rtlog_sink_backend>(log_file_name);
    boost::shared_ptr<logging::sinks::sink>& sink = state().sink;
    if (found->chosen == mode::buffered) {
        sink =
            boost::make_shared<logging::sinks::synchronous_sink<crypt_log_sink_backend>>(buffered);
    } else {
        sink = boost::make_shared<logging::sinks::synchronous_sink<crypt_rtlog_sink_backend>>(
            per_record);
    }
    core->add_sink(sink);

    core->set_filter([min_severity](const logging::attribute_value_set& values) {
        const auto level = logging::extract<severity_level>("Severity", values);
        return level && static_cast<int>(*level) >= min_severity;
    });
    // A backend that throws must not take an API call down with it.
    core->set_exception_handler(logging::make_exception_suppressor());
    core->set_logging_enabled(true);
    vxn_log_enabled.store(true);
    return true;
}

}  // namespace vxnlog

void init_logging() {
    vxn_log_enabled.store(false);

    char exe_path[4096];
    const ssize_t length = readlink("/proc/self/exe", exe_path, sizeof exe_path);
    // A full buffer may be a truncated path, which would name the wrong folder.
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof exe_path) {
        vxnlog::take_core()->set_logging_enabled(false);
        return;
    }
    const std::string executable_dir = vxnlog::directory_of(std::string(exe_path, length));

    // In the shared library the loader reports the library's own file. When
    // the logging objects are linked into a program, it reports the program as
    // it was started, which has no folder part if it was found on the PATH;
    // the program's folder is the right answer then.
    std::string library_dir = executable_dir;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&init_logging), &info) != 0 && info.dli_fname != nullptr &&
        std::strchr(info.dli_fname, '/') != nullptr) {
        library_dir = vxnlog::directory_of(info.dli_fname);
    }
    vxnlog::init_logging_in(library_dir, executable_dir);
}

void close_logging() {
    if (!vxnlog::core_in_use.exchange(false)) {
        vxn_log_enabled.store(false);
        return;
    }
    const auto core = logging::core::get();
    core->set_logging_enabled(false);
    core->flush();
    vxn_log_enabled.store(false);
    vxnlog::take_back(*core);
}
