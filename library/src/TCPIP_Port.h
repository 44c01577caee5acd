// The TCP/IP connection to a chain's master: four connections to ports 8000 to
// 8003 of the master's address. Frames go out on the first; the board's
// stream comes back cut into 2920-byte stripes that arrive in turn on the four
// connections, and is read back in the same rotation, 1460 bytes at a time,
// into the chain's raw queue.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm_port.h"

class TCPIP_Port : public comm_port {
  public:
    static constexpr unsigned short first_port = 8000;
    static constexpr size_t socket_count = 4;
    static constexpr size_t block_size = 1460;   // one read
    static constexpr size_t stripe_size = 2920;  // what a board sends on one connection in turn
    static constexpr int receive_buffer_size = 8192000;
    static constexpr std::chrono::seconds connect_deadline{2};
    static constexpr std::chrono::seconds write_lock_wait{2};

    // Connects the four sockets, one after the other. Takes the whole connect
    // deadline (2 s). Throws boards::conn_error when the first connection is
    // not up by then or a connection was refused, std::system_error when the
    // identifier is not an IP address (no name resolution is done).
    explicit TCPIP_Port(const std::string& identifier);
    ~TCPIP_Port() override;

    // Parses an IPv6 text (optionally with "%" and a scope) or a dotted IPv4
    // text; throws std::system_error for anything else, host names included.
    static asio::ip::address parse_address(const std::string& text);

    // Creates the socket library's error categories now. They are created on
    // first use and destroyed at exit in the reverse order of creation; made
    // early, they outlive an exit handler registered after this call.
    static void create_error_categories();

    unsigned int write_cmd(unsigned short board, unsigned short address,
                           const std::vector<unsigned int>& words) override;
    unsigned int read_cmd(unsigned short board, unsigned short address,
                          unsigned short count) override;
    void read_all() override;
    void run_async_tasks() override;
    void load_fpga_bitstream(std::string path) override;
    void initialize_fw_write(bool flag, unsigned short& value, unsigned short board) override;
    void finalize_fw_write(bool flag) override;
    void new_finalize_fw_write(bool flag) override;
    unsigned int getCmdPortID() override;
    void legacy_usb_write(unsigned short board, unsigned short address,
                          const data_packet& packet) override;
    void legacy_usb_read(unsigned short board, unsigned short address,
                         unsigned short count) override;
    void legacy_get_Data(unsigned short board) override;
    void legacy_remove_unconfirmed() override;
    void legacy_delete_packet(unsigned short packet) override;
    unsigned int legacy_get_last_pktNumber_read() override;
    void global_reset() override;
    void close_port() override;

  private:
    using tcp = asio::ip::tcp;

    void start_connect();
    void on_connect(const std::error_code& error);
    void on_deadline();
    void on_read(const std::error_code& error, size_t bytes);
    void close_sockets();
    // Hands a frame to the I/O thread, which sends frames one after the
    // other, each from a buffer of its own.
    void send(std::vector<uint8_t> frame);
    void write_next();
    // Takes the write lock or throws boards::comm_error(0, 0).
    std::unique_lock<std::timed_mutex> lock_for_sending();

    asio::io_context io_;        // sockets; run by io_thread_
    asio::io_context timer_io_;  // the connect deadline; run by the constructing thread
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::shared_ptr<tcp::socket>> sockets_;  // index 0..3 for ports 8000..8003
    std::vector<tcp::endpoint> endpoints_;
    size_t current_endpoint_ = 0;  // next connection to make (I/O thread)
    size_t current_socket_ = 0;    // socket being read (I/O thread)
    asio::system_timer deadline_;
    std::atomic<bool> timed_out_{false};
    std::atomic<bool> connected_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> reset_{false};             // drop the rest of the stripe being received
    std::vector<unsigned char> receive_buffer_;  // I/O thread
    std::deque<std::vector<uint8_t>> outgoing_;  // frames not yet written (I/O thread)
    std::shared_ptr<std::thread> io_thread_;
    std::timed_mutex write_lock_;  // building and hand-over of one frame at a time
    size_t stripe_position_ = 0;   // 0 or 1460 (I/O thread)
    std::mutex close_mutex_;       // makes close_port idempotent
    bool closed_ = false;          // guarded by close_mutex_
    const std::string identifier_;
    std::string address_text_;  // the master's address, for the records
};
