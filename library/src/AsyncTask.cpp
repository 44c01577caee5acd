#include "AsyncTask.h"

#include <future>
#include <system_error>

#include "Boost_Log.h"
#include "exceptions.h"
#include "globals.h"

AsyncTask::AsyncTask(function_type function, unsigned int call_id)
    : function_(std::move(function)), call_id_(call_id) {}

void deliver_answer(unsigned short type, unsigned int call_id,
                    const std::vector<unsigned int>& words) {
    if (globals::callback_registration_status != globals::C_CALLBACK)
        return;
    const vxn_dpp_callback callback = globals::callback_function;
    if (callback == nullptr)
        return;
    std::vector<unsigned int> copy = words;  // the callback gets a writable array
    callback(type, call_id, static_cast<unsigned int>(copy.size()),
             copy.empty() ? nullptr : copy.data());
}

namespace {

void fail(const char* text, error_code code, unsigned int call_id) {
    VXN_LOG("Async Task", DBG) << text;
    globals::set_last_error(code);
    deliver_answer(globals::ERR, call_id, {0});
}

}  // namespace

void AsyncTask::operator()() const {
    VXN_LOG("Lan resolver", TRC) << "Getting async task mutex.";
    std::lock_guard<std::mutex> lock(globals::async_task_mutex);
    VXN_LOG("Lan resolver", TRC) << "Async task mutex retrieved.";
    VXN_LOG("Async Task", DBG) << "Async task. Launched asynchronous task on a separate thread.";
    try {
        const boards::result answer = function_();
        VXN_LOG("Async Task", DBG) << "Async task. Function returned.";
        deliver_answer(answer.first, call_id_, answer.second);
        VXN_LOG("Async Task", DBG) << "Async task. Answer added to queue.";
    } catch (const boards::comm_error&) {
        fail("Async task. Communication error.", EC_COMMUNICATION, call_id_);
    } catch (const fw_unsupported&) {
        fail("Async task. Fw unsupported.", EC_FW_UNSUPPORTED, call_id_);
    } catch (const std::system_error& e) {
        VXN_LOG("Async Task", DBG) << "Async task. System error. Code:" << e.what();
        globals::set_last_error(EC_COMMUNICATION);
        deliver_answer(globals::ERR, call_id_, {0});
    } catch (const std::runtime_error&) {
        fail("Async task. Runtime error.", EC_COMMUNICATION, call_id_);
    } catch (const std::future_error&) {
        fail("Async task. Future error.", EC_UNMATCHED_ANSWER, call_id_);
    } catch (const std::out_of_range&) {
        fail("Async task. Out range error.", EC_OUT_OF_RANGE, call_id_);
    } catch (const file_not_found&) {
        fail("Async task. File not found.", EC_OUT_OF_RANGE, call_id_);
    } catch (const running_error&) {
        fail("Async task. Running error.", EC_BOARD_RUNNING, call_id_);
    }
    // Other kinds end the task without an answer; they stay in its future.
}

void launch_task(AsyncTask::function_type function, unsigned int call_id) {
    // The previous task ends before this one starts: started together, the
    // new task could win the task lock and answer before the older one.
    if (globals::pending_futures.valid())
        globals::pending_futures.wait();
    std::future<void> started;
    try {
        // Only a thread of its own: a deferred task would never run, since
        // nobody waits on its future.
        started = std::async(std::launch::async, AsyncTask(std::move(function), call_id));
    } catch (const std::system_error&) {
        throw task_launch_error();
    }
    globals::pending_futures = std::move(started);
}
