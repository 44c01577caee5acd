// A chain of simulated DPP boards behind one loopback address, served on
// TCP ports 8000-8003 exactly as a master board serves it: requests on the
// port-8000 connection, everything the chain sends cut into 2920-byte
// stripes in turn on the four connections.
//
// Connections: a session is one connection per port. Nothing is sent until
// all four of the current session are up; the first stripe of every
// session goes to port 8000. When any connection of the session closes,
// the whole session is closed and what was not sent yet is dropped. A new
// connection on a port that already has one ends the old session and starts
// a new one.
//
// Thread safety: every public member may be called from any thread while
// the chain runs. Inspection returns copies.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "vxnsim/board.h"
#include "vxnsim/chain_model.h"
#include "vxnsim/chain_options.h"
#include "vxnsim/data_counters.h"
#include "vxnsim/request_parser.h"

namespace vxnsim {

class SimChain {
  public:
    // Takes any options; start() is where they are checked.
    explicit SimChain(ChainOptions options);
    ~SimChain();  // stops
    SimChain(const SimChain&) = delete;
    SimChain& operator=(const SimChain&) = delete;

    // Binds ports 8000-8003 of the address and returns once they listen.
    // Throws std::invalid_argument for bad options (an address outside
    // 127.0.0.0/8 among them) and std::system_error when a port cannot be
    // bound. Board state (registers, flash, logs) survives stop() and a
    // later start().
    void start();
    // Closes every socket and joins the chain's threads. Idempotent.
    void stop();
    bool serving() const;
    const ChainOptions& options() const { return options_; }

    // ---- inspection ----
    std::vector<Request> requests() const;  // decoded requests in arrival order
    std::size_t request_count() const;
    std::vector<ParamCommit> param_commits(unsigned board) const;
    uint32_t register_value(unsigned board, uint8_t address) const;  // as a host would read it
    std::vector<uint8_t> flash(unsigned board, uint32_t offset = 0,
                               uint32_t length = UINT32_MAX) const;
    std::vector<uint32_t> net_words(unsigned board = 0) const;  // words committed by the strobe
    DataCounters sent(unsigned board) const;                    // data handed to the connections
    DataCounters sent_total() const;
    uint64_t malformed_requests() const;
    uint64_t stripes_sent() const;
    bool connected() const;               // all four connections of a session are up
    bool listening(uint16_t port) const;  // the port accepts connections now
    uint64_t sessions() const;            // sessions that got all four connections
    unsigned acquisitions_started() const;
    unsigned acquisitions_ended() const;
    bool acquiring() const;

    // ---- waiting (bounded; true when the condition holds) ----
    // `condition` may call the inspection members; it is evaluated after
    // every change of the chain's state.
    bool wait_until(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout) const;
    bool wait_requests(std::size_t count, std::chrono::milliseconds timeout) const;
    bool wait_connected(std::chrono::milliseconds timeout) const;
    // Until every acquisition started so far has ended, i.e. all boards sent
    // their last data (at least one acquisition must have started).
    bool wait_acquisition_end(std::chrono::milliseconds timeout) const;

    // ---- injection (into the output stream, in order with everything else) ----
    void inject_raw(std::vector<uint8_t> bytes);
    // Throws std::invalid_argument when the payload is not whole words.
    void inject_frame(uint8_t code, uint8_t board, const std::vector<uint8_t>& payload,
                      uint8_t packet_id = 0);
    // Sets a register without its side effects (FW_RELEASE, LINK_STATUS too).
    void poke_register(unsigned board, uint8_t address, uint32_t value);

    // ---- faults, switchable at any time ----
    void set_silence(Silence silence);
    // Refuse writes with an answer word other than 1 (see ChainModel).
    void set_write_answer(std::optional<uint32_t> word);
    void set_answer_delay(std::chrono::milliseconds delay);
    // Stops listening on the port (connections are refused) or listens again.
    void set_port_refused(uint16_t port, bool refused);
    // Closes the connections of the current session.
    void drop_connections();
    // Sets bits 2-3 of the status byte of every record and statistics packet.
    void set_memory_full(bool on);
    // The next record or statistics packet of the board (of every board when
    // none is named) skips one packet count.
    void skip_packet_count(std::optional<unsigned> board = std::nullopt);
    // Puts bytes that hold no frame header between frames.
    void set_garbage_between_frames(bool on);
    // Places every frame so that a stripe boundary falls `bytes_before`
    // bytes into it (its header is then split between two ports).
    void set_split_frames(bool on, unsigned bytes_before = 3);

    // The bytes put between frames by set_garbage_between_frames.
    static const std::vector<uint8_t>& garbage_bytes();

  private:
    class Impl;
    ChainOptions options_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vxnsim
