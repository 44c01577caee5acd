#include "vxnsim/sim_chain.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "vxnsim/acquisition.h"
#include "vxnsim/stripe_stream.h"
#include "vxnsim/wire.h"

namespace vxnsim {

namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

// Frames waiting for the stream writer; past this a source waits, as a
// board's memory would fill while nobody reads it.
constexpr std::size_t kQueueCap = 2u << 20;
// Bytes cut into stripes but not yet taken by the kernel. Kept small so an
// answer never waits long behind data.
constexpr std::size_t kPendingCap = 512u << 10;
constexpr int kSendBuffer = 1 << 20;
constexpr std::size_t kReadBuffer = 64u << 10;
constexpr std::size_t kSpareBuffers = 64;
// Paced sources are served in steps of at least this much time.
constexpr uint64_t kMinStepUs = 2000;

struct OutItem {
    enum class Kind : uint8_t { frame, data, raw, acquisition_end };
    Kind kind = Kind::frame;
    std::vector<uint8_t> bytes;
    unsigned board = 0;
    DataCounters delta;
};

// Shared with its pending operations, so that their buffers outlive a
// session that ends under them; a completion for a connection that is no
// longer the session's is ignored.
struct Connection {
    Connection(tcp::socket s, unsigned p) : socket(std::move(s)), port(p), read_buf(kReadBuffer) {}
    tcp::socket socket;
    const unsigned port;
    std::vector<uint8_t> read_buf;
    std::vector<uint8_t> sending;  // must not change while `writing`
    bool writing = false;
};

using Acceptor = tcp::acceptor;

// Asio opens and accepts without close-on-exec; a socket inherited by a
// program the host process starts would keep the port taken after stop().
void keep_from_children(int fd) {
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

}  // namespace

class SimChain::Impl final : public FrameSink {
  public:
    explicit Impl(const ChainOptions& o);
    ~Impl() override;

    void start();
    void stop();

    // FrameSink, called by the generator thread.
    bool push(std::vector<uint8_t>&& frame, unsigned board, const DataCounters& delta) override;
    std::vector<uint8_t> take_buffer() override;
    bool memory_full() override { return memory_full_.load(); }
    bool take_skip(unsigned board) override { return skip_[board].exchange(false); }

    void notify_change() const;
    void wake();                   // has the I/O thread pass queued items to the connections
    void post_controls();          // has the I/O thread apply refused ports and drop requests
    void enqueue(OutItem&& item);  // never waits
    void log(const std::string& message) const;

    const ChainOptions options_;

    // Lock order, outermost first: lifecycle_mutex_, model_mutex_, out_mutex_,
    // event_mutex_. No thread takes an earlier lock while holding a later one.
    std::mutex lifecycle_mutex_;
    mutable std::mutex model_mutex_;
    std::mutex out_mutex_;
    mutable std::mutex event_mutex_;

    bool serving_ = false;  // guarded by lifecycle_mutex_

    ChainModel model_;                                // guarded by model_mutex_
    std::vector<Request> requests_;                   // guarded by model_mutex_
    std::vector<DataCounters> sent_;                  // guarded by model_mutex_
    uint64_t malformed_ = 0;                          // guarded by model_mutex_
    uint64_t stripes_sent_ = 0;                       // guarded by model_mutex_
    bool connected_ = false;                          // guarded by model_mutex_
    uint64_t sessions_ = 0;                           // guarded by model_mutex_
    unsigned acq_started_ = 0;                        // guarded by model_mutex_
    unsigned acq_ended_ = 0;                          // guarded by model_mutex_
    bool acquiring_ = false;                          // guarded by model_mutex_
    std::chrono::milliseconds answer_delay_{0};       // guarded by model_mutex_
    bool garbage_ = false;                            // guarded by model_mutex_
    bool split_ = false;                              // guarded by model_mutex_
    unsigned split_bytes_ = 3;                        // guarded by model_mutex_
    std::array<bool, wire::kPortCount> refused_{};    // guarded by model_mutex_
    std::array<bool, wire::kPortCount> listening_{};  // guarded by model_mutex_
    bool drop_requested_ = false;                     // guarded by model_mutex_
    std::optional<std::vector<BoardPlan>> job_;       // guarded by model_mutex_
    std::condition_variable gen_cv_;                  // waits on model_mutex_

    std::deque<OutItem> queue_;                // guarded by out_mutex_
    std::size_t queued_bytes_ = 0;             // guarded by out_mutex_
    std::vector<std::vector<uint8_t>> spare_;  // guarded by out_mutex_
    std::condition_variable out_space_cv_;     // waits on out_mutex_

    mutable uint64_t event_seq_ = 0;            // guarded by event_mutex_
    mutable std::condition_variable event_cv_;  // waits on event_mutex_

    // Set under model_mutex_, read anywhere.
    std::atomic<bool> shutdown_{false};
    std::atomic<bool> stop_acq_{false};
    std::atomic<bool> abort_acq_{false};
    std::atomic<bool> memory_full_{false};
    std::unique_ptr<std::atomic<bool>[]> skip_;

    // Outlives start() and stop(), so that anyone may post to it at any
    // time; what is posted while the chain is stopped runs at the next start.
    // Declared before the acceptors, connections and timer: they must be
    // destroyed before it. Only the I/O thread runs it, hence the hint 1.
    asio::io_context io_{1};
    std::atomic<bool> pump_posted_{false};
    std::thread io_thread_;
    std::thread gen_thread_;

  private:
    // ---- I/O thread (and start() before it runs, stop() after it ended) ----
    std::shared_ptr<Acceptor> open_listener(unsigned port);
    void accept_next(unsigned port);
    void take_connection(unsigned port, tcp::socket socket);
    void read_next(const std::shared_ptr<Connection>& conn);
    void on_read(const std::shared_ptr<Connection>& conn, std::size_t n);
    bool current(const std::shared_ptr<Connection>& conn) const;
    bool session_complete() const;
    void close_all();
    void apply_controls();
    void handle_requests(std::vector<Request>& requests);
    void start_acquisition_locked();
    void reset_locked();
    void end_session(const char* why);
    void flush_queue();
    void end_acquisition_locked();
    void discard_locked(const std::deque<OutItem>& dropped);
    void pump();
    std::size_t unsent_bytes() const;
    void start_writes();
    void arm_delay_timer();
    void release_due_answers();

    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    std::array<std::shared_ptr<Acceptor>, wire::kPortCount> listeners_;
    std::array<std::shared_ptr<Connection>, wire::kPortCount> session_;
    RequestParser parser_;
    StripeStream stripes_;
    // Answers held back by set_answer_delay, by due time; answers due at the
    // same time keep their order.
    std::multimap<Clock::time_point, std::vector<uint8_t>> delayed_;
    asio::steady_timer delay_timer_{io_};

    // ---- generator thread ----
    void gen_main();
    bool run_acquisition(const std::vector<BoardPlan>& plans);
    void finish_acquisition(bool aborted);
    std::vector<BoardState> board_states_;  // generator thread
};

// ======================================================================
// construction, start, stop

SimChain::Impl::Impl(const ChainOptions& o)
    : options_(o), model_(o), sent_(o.boards), skip_(new std::atomic<bool>[o.boards]) {
    for (unsigned b = 0; b < o.boards; ++b) {
        skip_[b] = false;
        board_states_.emplace_back(o.seed, b);
    }
}

SimChain::Impl::~Impl() {
    stop();
}

void SimChain::Impl::start() {
    std::lock_guard<std::mutex> life(lifecycle_mutex_);
    if (serving_) {
        return;
    }
    validate(options_);
    std::array<bool, wire::kPortCount> refused;
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        refused = refused_;
    }
    // Opened here rather than on the I/O thread so that a busy port fails
    // start() itself; on failure those already open close with the array.
    std::array<std::shared_ptr<Acceptor>, wire::kPortCount> acceptors;
    for (unsigned p = 0; p < wire::kPortCount; ++p) {
        if (!refused[p]) {
            acceptors[p] = open_listener(p);
        }
    }
    listeners_ = acceptors;
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        for (unsigned p = 0; p < wire::kPortCount; ++p) {
            listening_[p] = listeners_[p] != nullptr;
        }
        shutdown_ = false;
        abort_acq_ = false;
        stop_acq_ = false;
    }
    io_.restart();
    // Keeps run() going while nothing is pending, e.g. with every port refused.
    work_.emplace(asio::make_work_guard(io_));
    for (unsigned p = 0; p < wire::kPortCount; ++p) {
        if (listeners_[p]) {
            accept_next(p);
        }
    }
    io_thread_ = std::thread([this] { io_.run(); });
    gen_thread_ = std::thread([this] { gen_main(); });
    serving_ = true;
}

void SimChain::Impl::stop() {
    std::lock_guard<std::mutex> life(lifecycle_mutex_);
    if (!serving_) {
        return;
    }
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        shutdown_ = true;
        abort_acq_ = true;
        gen_cv_.notify_all();
    }
    {
        std::lock_guard<std::mutex> lk(out_mutex_);
        out_space_cv_.notify_all();
    }
    // run() returns once the operations that close_all() cancels have
    // completed; every handler sees shutdown_ and starts nothing new.
    asio::post(io_, [this] { close_all(); });
    io_thread_.join();
    gen_thread_.join();
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        job_.reset();
        listening_ = {};
        // The generator was joined mid-acquisition: it is over.
        end_acquisition_locked();
    }
    {
        std::lock_guard<std::mutex> lk(out_mutex_);
        queue_.clear();
        queued_bytes_ = 0;
    }
    serving_ = false;
    notify_change();
}

// ======================================================================
// small shared helpers

void SimChain::Impl::wake() {
    // One pending pass is enough: it takes everything queued by then.
    if (!pump_posted_.exchange(true)) {
        asio::post(io_, [this] {
            pump_posted_ = false;
            pump();
        });
    }
}

void SimChain::Impl::post_controls() {
    asio::post(io_, [this] { apply_controls(); });
}

void SimChain::Impl::notify_change() const {
    {
        std::lock_guard<std::mutex> lk(event_mutex_);
        ++event_seq_;
    }
    event_cv_.notify_all();
}

void SimChain::Impl::log(const std::string& message) const {
    if (options_.log_to_stderr) {
        std::fprintf(stderr, "vxn-dpp-sim %s: %s\n", options_.ip.c_str(), message.c_str());
    }
}

void SimChain::Impl::enqueue(OutItem&& item) {
    bool was_empty;
    {
        std::lock_guard<std::mutex> lk(out_mutex_);
        was_empty = queue_.empty();
        queued_bytes_ += item.bytes.size();
        queue_.push_back(std::move(item));
    }
    if (was_empty) {
        wake();
    }
}

// ======================================================================
// generator thread

std::vector<uint8_t> SimChain::Impl::take_buffer() {
    std::lock_guard<std::mutex> lk(out_mutex_);
    if (spare_.empty()) {
        return {};
    }
    std::vector<uint8_t> b = std::move(spare_.back());
    spare_.pop_back();
    b.clear();
    return b;
}

bool SimChain::Impl::push(std::vector<uint8_t>&& frame, unsigned board, const DataCounters& delta) {
    bool was_empty;
    {
        std::unique_lock<std::mutex> lk(out_mutex_);
        out_space_cv_.wait(
            lk, [&] { return queued_bytes_ < kQueueCap || abort_acq_ || stop_acq_ || shutdown_; });
        if (abort_acq_ || shutdown_) {
            return false;
        }
        was_empty = queue_.empty();
        OutItem item;
        item.kind = OutItem::Kind::data;
        item.board = board;
        item.delta = delta;
        item.bytes = std::move(frame);
        queued_bytes_ += item.bytes.size();
        queue_.push_back(std::move(item));
    }
    if (was_empty) {
        wake();
    }
    return true;
}

void SimChain::Impl::gen_main() {
    for (;;) {
        std::vector<BoardPlan> plans;
        {
            std::unique_lock<std::mutex> lk(model_mutex_);
            gen_cv_.wait(lk, [&] { return shutdown_ || job_.has_value(); });
            if (shutdown_) {
                return;
            }
            plans = std::move(*job_);
            job_.reset();
        }
        finish_acquisition(!run_acquisition(plans));
    }
}

bool SimChain::Impl::run_acquisition(const std::vector<BoardPlan>& plans) {
    SourceSettings settings;
    settings.count_rate = options_.count_rate;
    settings.aux_period_ms = options_.aux_period_ms;
    std::vector<std::unique_ptr<BoardSource>> sources;
    for (const BoardPlan& p : plans) {
        if (!p.disabled) {
            sources.push_back(make_source(p, board_states_[p.board], settings));
        }
    }
    const Clock::time_point t0 = Clock::now();
    const auto elapsed_us = [&] {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
    };
    for (;;) {
        if (abort_acq_ || shutdown_) {
            return false;
        }
        uint64_t now = elapsed_us();
        if (stop_acq_) {
            for (auto& s : sources) {
                if (!s->finish(now, *this)) {
                    return false;
                }
            }
            return true;
        }
        bool all_done = true;
        uint64_t due = BoardSource::kNever;
        for (auto& s : sources) {
            if (s->done()) {
                continue;
            }
            if (!s->advance(now, *this)) {
                return false;
            }
            if (!s->done()) {
                all_done = false;
                due = std::min(due, s->next_due_us());
            }
        }
        if (all_done) {
            return true;
        }
        now = elapsed_us();
        if (due > now) {
            // Never wait more than a second at a time, so far-off times
            // cannot overflow the clock arithmetic.
            const uint64_t wake_at = std::min(std::max(due, now + kMinStepUs), now + 1000000);
            std::unique_lock<std::mutex> lk(model_mutex_);
            gen_cv_.wait_until(lk, t0 + std::chrono::microseconds(wake_at),
                               [&] { return abort_acq_ || stop_acq_ || shutdown_; });
        }
    }
}

void SimChain::Impl::finish_acquisition(bool aborted) {
    if (!aborted) {
        // The acquisition ends when the stream writer has passed its last data.
        OutItem end;
        end.kind = OutItem::Kind::acquisition_end;
        enqueue(std::move(end));
        return;
    }
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        end_acquisition_locked();
    }
    notify_change();
}

// ======================================================================
// I/O thread

std::shared_ptr<Acceptor> SimChain::Impl::open_listener(unsigned port) {
    const auto number = static_cast<uint16_t>(wire::kFirstPort + port);
    std::error_code ec;
    const asio::ip::address_v4 address = asio::ip::make_address_v4(options_.ip, ec);
    // Loopback only, whatever the caller checked: a simulator must never
    // be reachable from, or send to, another machine.
    if (ec || !address.is_loopback()) {
        throw std::invalid_argument("address " + options_.ip + " is not in 127.0.0.0/8");
    }
    const tcp::endpoint endpoint(address, number);
    auto acceptor = std::make_shared<Acceptor>(io_);
    acceptor->open(endpoint.protocol(), ec);
    if (!ec) {
        keep_from_children(acceptor->native_handle());
        acceptor->set_option(Acceptor::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor->bind(endpoint, ec);
    }
    if (!ec) {
        acceptor->listen(Acceptor::max_listen_connections, ec);
    }
    if (ec) {
        throw std::system_error(ec, "listening on " + options_.ip + ":" + std::to_string(number));
    }
    return acceptor;
}

void SimChain::Impl::accept_next(unsigned port) {
    std::shared_ptr<Acceptor> acceptor = listeners_[port];
    acceptor->async_accept([this, port, acceptor](const std::error_code& ec, tcp::socket socket) {
        if (shutdown_ || acceptor != listeners_[port]) {
            return;  // closed by stop() or by a refusal; a reopened port accepts anew
        }
        if (!ec) {
            take_connection(port, std::move(socket));
        }
        accept_next(port);
    });
}

void SimChain::Impl::take_connection(unsigned port, tcp::socket socket) {
    keep_from_children(socket.native_handle());
    std::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::send_buffer_size(kSendBuffer), ignored);
    if (session_[port]) {
        end_session("a new connection replaced the session");
    }
    auto conn = std::make_shared<Connection>(std::move(socket), port);
    session_[port] = conn;
    if (port == 0) {
        parser_ = RequestParser();
    }
    read_next(conn);
    if (!session_complete()) {
        return;
    }
    stripes_.reset();
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        connected_ = true;
        ++sessions_;
    }
    log("session connected");
    notify_change();
    pump();
}

bool SimChain::Impl::current(const std::shared_ptr<Connection>& conn) const {
    return !shutdown_ && session_[conn->port] == conn;
}

bool SimChain::Impl::session_complete() const {
    return std::all_of(session_.begin(), session_.end(),
                       [](const auto& c) { return c != nullptr; });
}

void SimChain::Impl::read_next(const std::shared_ptr<Connection>& conn) {
    // Every port is read, though only port 8000 carries requests, to see
    // the host close any of them.
    conn->socket.async_read_some(
        asio::buffer(conn->read_buf), [this, conn](const std::error_code& ec, std::size_t n) {
            if (!current(conn)) {
                return;
            }
            if (ec) {
                end_session(ec == asio::error::eof ? "the host closed a connection"
                                                   : "a connection failed");
                return;
            }
            on_read(conn, n);
        });
}

void SimChain::Impl::on_read(const std::shared_ptr<Connection>& conn, std::size_t n) {
    if (conn->port == 0) {
        std::vector<Request> requests;
        const uint64_t before = parser_.malformed();
        parser_.feed(conn->read_buf.data(), n, requests);
        if (parser_.malformed() != before) {
            {
                std::lock_guard<std::mutex> lk(model_mutex_);
                malformed_ += parser_.malformed() - before;
            }
            log("malformed request ignored: " + parser_.last_problem());
            notify_change();
        }
        handle_requests(requests);
        // A reset cuts padding straight into the stripes, past the queue.
        pump();
    }
    if (current(conn)) {
        read_next(conn);
    }
}

void SimChain::Impl::close_all() {
    std::error_code ignored;
    for (auto& acceptor : listeners_) {
        if (acceptor) {
            acceptor->close(ignored);
            acceptor.reset();
        }
    }
    end_session(nullptr);
    delayed_.clear();
    delay_timer_.cancel();
    work_.reset();
}

void SimChain::Impl::apply_controls() {
    if (shutdown_) {
        return;
    }
    std::array<bool, wire::kPortCount> refused;
    bool drop;
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        refused = refused_;
        drop = drop_requested_;
        drop_requested_ = false;
    }
    if (drop) {
        end_session("connections dropped on request");
    }
    for (unsigned p = 0; p < wire::kPortCount; ++p) {
        if (refused[p] && listeners_[p]) {
            // Closing the listener is what makes the kernel refuse connects.
            std::error_code ignored;
            listeners_[p]->close(ignored);
            listeners_[p].reset();
            log("port " + std::to_string(wire::kFirstPort + p) + " refuses connections");
        } else if (!refused[p] && !listeners_[p]) {
            try {
                listeners_[p] = open_listener(p);
                accept_next(p);
            } catch (const std::exception& e) {
                log(std::string("cannot listen again: ") + e.what());
            }
        }
    }
    bool changed = false;
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        for (unsigned p = 0; p < wire::kPortCount; ++p) {
            changed = changed || listening_[p] != (listeners_[p] != nullptr);
            listening_[p] = listeners_[p] != nullptr;
        }
    }
    if (changed) {
        notify_change();
    }
}

void SimChain::Impl::handle_requests(std::vector<Request>& requests) {
    if (requests.empty()) {
        return;
    }
    for (Request& r : requests) {
        std::lock_guard<std::mutex> lk(model_mutex_);
        ChainModel::Outcome outcome = model_.handle(r);
        requests_.push_back(std::move(r));
        if (outcome.answer) {
            if (answer_delay_.count() > 0) {
                const auto at =
                    delayed_.emplace(Clock::now() + answer_delay_, std::move(*outcome.answer));
                if (at == delayed_.begin()) {
                    arm_delay_timer();
                }
            } else {
                OutItem item;
                item.kind = OutItem::Kind::frame;
                item.bytes = std::move(*outcome.answer);
                enqueue(std::move(item));
            }
        }
        if (outcome.reset) {
            reset_locked();
        } else if (outcome.command == Board::Command::start) {
            start_acquisition_locked();
        } else if (outcome.command == Board::Command::stop && acquiring_) {
            stop_acq_ = true;
            gen_cv_.notify_all();
            std::lock_guard<std::mutex> olk(out_mutex_);
            out_space_cv_.notify_all();
        }
    }
    notify_change();
}

void SimChain::Impl::start_acquisition_locked() {
    if (acquiring_) {
        return;
    }
    std::vector<BoardPlan> plans;
    for (unsigned b = 0; b < model_.boards(); ++b) {
        plans.push_back(plan_from_registers(b, model_.board(b)));
        model_.board(b).set_running(!plans.back().disabled);
    }
    acquiring_ = true;
    ++acq_started_;
    stop_acq_ = false;
    abort_acq_ = false;
    job_ = std::move(plans);
    gen_cv_.notify_all();
}

void SimChain::Impl::reset_locked() {
    // The chain stops at once, without last data; what was not sent is lost,
    // and one stripe of padding lets the host's reader skip what it was in.
    if (acquiring_ || job_) {
        abort_acq_ = true;
        gen_cv_.notify_all();
        std::lock_guard<std::mutex> olk(out_mutex_);
        out_space_cv_.notify_all();
    }
    for (unsigned b = 0; b < model_.boards(); ++b) {
        model_.board(b).poke(reg::kAcqControl, 0);
    }
    delayed_.clear();
    std::deque<OutItem> dropped;
    {
        std::lock_guard<std::mutex> olk(out_mutex_);
        dropped.swap(queue_);
        queued_bytes_ = 0;
    }
    discard_locked(dropped);
    if (connected_) {
        stripes_.pad_full_stripe();
    }
}

void SimChain::Impl::end_acquisition_locked() {
    if (acquiring_) {
        acquiring_ = false;
        ++acq_ended_;
        for (unsigned b = 0; b < model_.boards(); ++b) {
            model_.board(b).set_running(false);
        }
    }
}

void SimChain::Impl::discard_locked(const std::deque<OutItem>& dropped) {
    // Dropped data is lost, but an acquisition whose end was among it has
    // still ended.
    for (const OutItem& item : dropped) {
        if (item.kind == OutItem::Kind::acquisition_end) {
            end_acquisition_locked();
        }
    }
}

void SimChain::Impl::flush_queue() {
    std::deque<OutItem> dropped;
    {
        std::lock_guard<std::mutex> lk(out_mutex_);
        dropped.swap(queue_);
        queued_bytes_ = 0;
        out_space_cv_.notify_all();
    }
    std::lock_guard<std::mutex> lk(model_mutex_);
    discard_locked(dropped);
}

void SimChain::Impl::end_session(const char* why) {
    bool had_any = false;
    for (auto& conn : session_) {
        if (conn) {
            had_any = true;
            // Its pending operations complete as aborted and find it replaced.
            std::error_code ignored;
            conn->socket.close(ignored);
            conn.reset();
        }
    }
    stripes_.reset();
    parser_ = RequestParser();
    if (!had_any) {
        return;
    }
    flush_queue();
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        connected_ = false;
    }
    if (why) {
        log(std::string("session closed: ") + why);
    }
    notify_change();
}

void SimChain::Impl::arm_delay_timer() {
    delay_timer_.expires_at(delayed_.begin()->first);
    delay_timer_.async_wait([this](const std::error_code& ec) {
        // Aborted: re-armed for an earlier answer, or stopping.
        if (!ec && !shutdown_) {
            release_due_answers();
        }
    });
}

void SimChain::Impl::release_due_answers() {
    const auto now = Clock::now();
    auto it = delayed_.begin();
    while (it != delayed_.end() && it->first <= now) {
        OutItem item;
        item.kind = OutItem::Kind::frame;
        item.bytes = std::move(it->second);
        enqueue(std::move(item));
        it = delayed_.erase(it);
    }
    if (!delayed_.empty()) {
        arm_delay_timer();
    }
}

std::size_t SimChain::Impl::unsent_bytes() const {
    std::size_t n = stripes_.pending_bytes();
    for (const auto& conn : session_) {
        if (conn) {
            n += conn->sending.size();
        }
    }
    return n;
}

void SimChain::Impl::pump() {
    if (shutdown_ || !session_complete()) {
        return;
    }
    bool garbage, split;
    unsigned split_bytes;
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        garbage = garbage_;
        split = split_;
        split_bytes = split_bytes_;
    }
    std::vector<std::pair<unsigned, DataCounters>> counted;
    bool acquisition_ended = false;
    std::deque<OutItem> batch;
    for (;;) {
        if (unsent_bytes() >= kPendingCap) {
            break;  // each completed write pumps again
        }
        if (batch.empty()) {
            std::lock_guard<std::mutex> lk(out_mutex_);
            // Take a handful at a time to keep the lock short.
            for (int i = 0; i < 16 && !queue_.empty(); ++i) {
                queued_bytes_ -= queue_.front().bytes.size();
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
            out_space_cv_.notify_all();
        }
        if (batch.empty()) {
            // Nothing more right now: complete the stripe so nothing waits.
            stripes_.pad();
            break;
        }
        OutItem item = std::move(batch.front());
        batch.pop_front();
        switch (item.kind) {
            case OutItem::Kind::acquisition_end:
                acquisition_ended = true;
                continue;
            case OutItem::Kind::raw:
                stripes_.append(item.bytes.data(), item.bytes.size());
                continue;
            case OutItem::Kind::frame:
            case OutItem::Kind::data:
                break;
        }
        if (garbage) {
            const auto& g = garbage_bytes();
            stripes_.append(g.data(), g.size());
        }
        if (split && item.bytes.size() > split_bytes) {
            const std::size_t at = wire::kStripeSize - split_bytes;
            if (stripes_.fill() > at) {
                stripes_.pad();
            }
            stripes_.pad_to(at);
        }
        stripes_.append(item.bytes.data(), item.bytes.size());
        if (item.kind == OutItem::Kind::data) {
            counted.emplace_back(item.board, item.delta);
            std::lock_guard<std::mutex> lk(out_mutex_);
            if (spare_.size() < kSpareBuffers) {
                spare_.push_back(std::move(item.bytes));
            }
        }
    }
    start_writes();
    if (!batch.empty()) {
        // Put back what did not fit, in order.
        std::lock_guard<std::mutex> lk(out_mutex_);
        while (!batch.empty()) {
            queued_bytes_ += batch.back().bytes.size();
            queue_.push_front(std::move(batch.back()));
            batch.pop_back();
        }
    }
    bool changed = !counted.empty() || acquisition_ended;
    {
        std::lock_guard<std::mutex> lk(model_mutex_);
        for (const auto& c : counted) {
            sent_[c.first] += c.second;
        }
        if (stripes_sent_ != stripes_.stripes_completed()) {
            stripes_sent_ = stripes_.stripes_completed();
            changed = true;
        }
        if (acquisition_ended) {
            end_acquisition_locked();
        }
    }
    if (changed) {
        notify_change();
    }
}

void SimChain::Impl::start_writes() {
    for (unsigned p = 0; p < wire::kPortCount; ++p) {
        const std::shared_ptr<Connection>& conn = session_[p];
        Outbox& box = stripes_.outbox(p);
        if (!conn || conn->writing || box.empty()) {
            continue;
        }
        // The outbox goes on filling while the kernel takes these bytes.
        box.take(conn->sending);
        conn->writing = true;
        asio::async_write(conn->socket, asio::buffer(conn->sending),
                          [this, conn](const std::error_code& ec, std::size_t) {
                              conn->writing = false;
                              if (!current(conn)) {
                                  return;
                              }
                              if (ec) {
                                  end_session("sending failed");
                                  return;
                              }
                              conn->sending.clear();
                              pump();
                          });
    }
}

// ======================================================================
// SimChain

SimChain::SimChain(ChainOptions options)
    : options_(std::move(options)), impl_(std::make_unique<Impl>(options_)) {}

SimChain::~SimChain() {
    stop();
}

void SimChain::start() {
    impl_->start();
}
void SimChain::stop() {
    impl_->stop();
}

bool SimChain::serving() const {
    std::lock_guard<std::mutex> lk(impl_->lifecycle_mutex_);
    return impl_->serving_;
}

std::vector<Request> SimChain::requests() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->requests_;
}

std::size_t SimChain::request_count() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->requests_.size();
}

std::vector<ParamCommit> SimChain::param_commits(unsigned board) const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->model_.board(board).param_commits();
}

uint32_t SimChain::register_value(unsigned board, uint8_t address) const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->model_.board(board).read(address);
}

std::vector<uint8_t> SimChain::flash(unsigned board, uint32_t offset, uint32_t length) const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->model_.board(board).flash().read(offset, length);
}

std::vector<uint32_t> SimChain::net_words(unsigned board) const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->model_.board(board).net_words();
}

DataCounters SimChain::sent(unsigned board) const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->sent_.at(board);
}

DataCounters SimChain::sent_total() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    DataCounters total;
    for (const auto& c : impl_->sent_) {
        total += c;
    }
    return total;
}

uint64_t SimChain::malformed_requests() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->malformed_;
}

uint64_t SimChain::stripes_sent() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->stripes_sent_;
}

bool SimChain::connected() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->connected_;
}

bool SimChain::listening(uint16_t port) const {
    if (port < wire::kFirstPort || port >= wire::kFirstPort + wire::kPortCount) {
        return false;
    }
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->listening_[port - wire::kFirstPort];
}

uint64_t SimChain::sessions() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->sessions_;
}

unsigned SimChain::acquisitions_started() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->acq_started_;
}

unsigned SimChain::acquisitions_ended() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->acq_ended_;
}

bool SimChain::acquiring() const {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    return impl_->acquiring_;
}

bool SimChain::wait_until(const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lk(impl_->event_mutex_);
    for (;;) {
        const uint64_t seen = impl_->event_seq_;
        lk.unlock();
        if (condition()) {
            return true;
        }
        lk.lock();
        if (!impl_->event_cv_.wait_until(lk, deadline, [&] { return impl_->event_seq_ != seen; })) {
            lk.unlock();
            return condition();
        }
    }
}

bool SimChain::wait_requests(std::size_t count, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return request_count() >= count; }, timeout);
}

bool SimChain::wait_connected(std::chrono::milliseconds timeout) const {
    return wait_until([&] { return connected(); }, timeout);
}

bool SimChain::wait_acquisition_end(std::chrono::milliseconds timeout) const {
    return wait_until(
        [&] {
            std::lock_guard<std::mutex> lk(impl_->model_mutex_);
            return impl_->acq_started_ > 0 && impl_->acq_ended_ == impl_->acq_started_;
        },
        timeout);
}

void SimChain::inject_raw(std::vector<uint8_t> bytes) {
    OutItem item;
    item.kind = OutItem::Kind::raw;
    item.bytes = std::move(bytes);
    impl_->enqueue(std::move(item));
}

void SimChain::inject_frame(uint8_t code, uint8_t board, const std::vector<uint8_t>& payload,
                            uint8_t packet_id) {
    OutItem item;
    item.kind = OutItem::Kind::frame;
    item.bytes = wire::make_frame_bytes(code, board, packet_id, payload);
    impl_->enqueue(std::move(item));
}

void SimChain::poke_register(unsigned board, uint8_t address, uint32_t value) {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    impl_->model_.board(board).poke(address, value);
}

void SimChain::set_silence(Silence silence) {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    impl_->model_.silence = silence;
}

void SimChain::set_write_answer(std::optional<uint32_t> word) {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    impl_->model_.write_answer_word = word;
}

void SimChain::set_answer_delay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    impl_->answer_delay_ = delay;
}

void SimChain::set_port_refused(uint16_t port, bool refused) {
    if (port < wire::kFirstPort || port >= wire::kFirstPort + wire::kPortCount) {
        throw std::invalid_argument("a chain serves ports 8000 to 8003 only");
    }
    {
        std::lock_guard<std::mutex> lk(impl_->model_mutex_);
        impl_->refused_[port - wire::kFirstPort] = refused;
    }
    impl_->post_controls();
}

void SimChain::drop_connections() {
    {
        std::lock_guard<std::mutex> lk(impl_->model_mutex_);
        impl_->drop_requested_ = true;
    }
    impl_->post_controls();
}

void SimChain::set_memory_full(bool on) {
    impl_->memory_full_ = on;
}

void SimChain::skip_packet_count(std::optional<unsigned> board) {
    for (unsigned b = 0; b < options_.boards; ++b) {
        if (!board || *board == b) {
            impl_->skip_[b] = true;
        }
    }
}

void SimChain::set_garbage_between_frames(bool on) {
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    impl_->garbage_ = on;
}

void SimChain::set_split_frames(bool on, unsigned bytes_before) {
    if (on && (bytes_before == 0 || bytes_before >= wire::kStripeSize)) {
        throw std::invalid_argument("split offset must be inside a stripe");
    }
    std::lock_guard<std::mutex> lk(impl_->model_mutex_);
    impl_->split_ = on;
    impl_->split_bytes_ = bytes_before;
}

const std::vector<uint8_t>& SimChain::garbage_bytes() {
    // Header look-alikes that are not headers: AA EE followed by a byte whose
    // high nibble is not 0xD, and stray AA and EE bytes.
    static const std::vector<uint8_t> bytes = {0xAA, 0xEE, 0x5A, 0x00, 0xAA, 0x01,
                                               0xEE, 0xEE, 0xAA, 0xEE, 0xC0, 0x13};
    return bytes;
}

}  // namespace vxnsim
