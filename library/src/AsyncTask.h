// Asynchronous commands: a chain operation runs on a thread of its own and
// its outcome, the answer, goes to the callback the application registered.
#pragma once

#include <functional>
#include <stdexcept>

#include "boards.h"

class AsyncTask {
  public:
    using function_type = std::function<boards::result()>;

    AsyncTask(function_type function, unsigned int call_id);

    // Runs the operation under globals::async_task_mutex (tasks run one at a
    // time, in launch order) and delivers its answer, or an error answer with
    // the last error set for the failures an application can act on.
    void operator()() const;

  private:
    function_type function_;
    unsigned int call_id_;
};

// No thread could be started for a task.
class task_launch_error : public std::runtime_error {
  public:
    task_launch_error() : std::runtime_error("asynchronous task: no thread") {}
};

// Starts `function` as the task of `call_id` on a new thread and keeps its
// future in globals::pending_futures, which waits for the previous task to
// end. Called by the command functions with api_mutex held. Throws
// task_launch_error when no thread can be started (the task then never runs).
void launch_task(AsyncTask::function_type function, unsigned int call_id);

// Hands an answer to the registered callback, if any.
void deliver_answer(unsigned short type, unsigned int call_id,
                    const std::vector<unsigned int>& words);
