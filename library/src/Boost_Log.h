// Diagnostic log of the library.
//
// Logging is switched on at load time by a marker file (see Boost_Log.cpp).
// When it is off, a log statement costs one relaxed atomic load and nothing
// else: the message operands are not even evaluated.
//
//   VXN_LOG("Functions", DBG) << "Functions. Library version: " << text;
//
// The record is built in a string stream and handed to the Boost.Log core when
// the statement ends. Boost.Log headers stay out of this header on purpose:
// almost every unit of the library logs, and those headers are heavy.
#pragma once

#include <atomic>
#include <memory>
#include <ostream>
#include <string>

enum severity_level { VRB = 0, TRC = 1, DBG = 2, INF = 3, WAR = 4, ERR = 5 };

// Writes the label ("VRB" ... "ERR"), or the number for a value outside 0-5.
std::ostream& operator<<(std::ostream& os, severity_level level);

// True while a sink is installed. Written only by init_logging/close_logging.
extern std::atomic<bool> vxn_log_enabled;

namespace vxnlog {

// One log record under construction. Opening asks the core whether a record of
// this channel and severity passes its filter; if it does not, the record is
// inactive and the statement's operands are skipped.
class record {
  public:
    record(const char* channel, severity_level level);
    ~record();  // pushes the record to the core
    record(const record&) = delete;
    record& operator=(const record&) = delete;

    explicit operator bool() const { return active_; }
    void done() { active_ = false; }
    std::ostream& stream();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
    bool active_ = false;
};

}  // namespace vxnlog

// Two nested one-shot loops rather than if/else, so that the statement is
// safe as the body of an unbraced if.
#define VXN_LOG(channel, level)                                                                    \
    for (bool vxn_log_on_ = vxn_log_enabled.load(std::memory_order_relaxed); vxn_log_on_;          \
         vxn_log_on_ = false)                                                                      \
        for (::vxnlog::record vxn_log_rec_((channel), (level)); vxn_log_rec_; vxn_log_rec_.done()) \
    vxn_log_rec_.stream()

// Set-up and tear-down, run by the library's load and unload hooks.
void init_logging();
void close_logging();

namespace vxnlog {

// The part of init_logging after the two folders are known; tests call it with
// folders of their own. Returns true when a marker was found and a sink added.
bool init_logging_in(const std::string& library_dir, const std::string& executable_dir);

}  // namespace vxnlog
