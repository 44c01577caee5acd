#include "TCPIP_Port.h"

#include "Boost_Log.h"
#include "boards.h"
#include "exceptions.h"
#include "frames.h"
#include "globals.h"

asio::ip::address TCPIP_Port::parse_address(const std::string& text) {
    std::error_code error;
    const asio::ip::address_v6 v6 = asio::ip::make_address_v6(text, error);
    if (!error)
        return v6;
    return asio::ip::make_address_v4(text);
}

void TCPIP_Port::create_error_categories() {
    (void)asio::error::get_netdb_category();
    (void)asio::error::get_addrinfo_category();
    (void)asio::error::get_misc_category();
}

namespace {

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

TCPIP_Port::TCPIP_Port(const std::string& identifier)
    : comm_port(identifier),
      work_(asio::make_work_guard(io_)),
      deadline_(timer_io_),
      identifier_(identifier) {
    VXN_LOG("TCPIP_Port", DBG)
        << "TCPIP_Port. Creating object. Testing socket connection. Identifier: " << identifier
        << ".";
    const asio::ip::address address = parse_address(identifier);
    address_text_ = address.to_string();
    for (size_t k = 0; k < socket_count; ++k) {
        endpoints_.emplace_back(address, static_cast<unsigned short>(first_port + k));
        sockets_.push_back(std::make_shared<tcp::socket>(io_));
    }
    current_endpoint_ = 0;
    current_socket_ = 0;
    start_connect();
    pause_ms(10);
    VXN_LOG("TCPIP_Port", DBG) << "TCPIP_Port. Timer started and async connect issued.";
    receive_buffer_.resize(block_size);
    io_thread_ = std::make_shared<std::thread>([this] { run_async_tasks(); });

    deadline_.expires_at(std::chrono::system_clock::now() + connect_deadline);
    deadline_.async_wait([this](const std::error_code&) { on_deadline(); });
    timer_io_.run();

    if (timed_out_ || !connected_) {
        VXN_LOG("TCPIP_Port", WAR)
            << "TCPIP_Port. Connection timeout, object construction aborted.";
        close_port();
        throw boards::conn_error();
    }
    VXN_LOG("TCPIP_Port", WAR) << "TCPIP_Port. Connection with sockets successfull. Identifier: "
                               << identifier << ".";
}

TCPIP_Port::~TCPIP_Port() {
    close_port();
}

// --- Connecting ----------------------------------------------------------------

void TCPIP_Port::start_connect() {
    sockets_[current_socket_]->async_connect(
        endpoints_[current_endpoint_], [this](const std::error_code& error) { on_connect(error); });
}

void TCPIP_Port::on_connect(const std::error_code& error) {
    if (error) {
        VXN_LOG("TCPIP_Port", WAR)
            << "TCPIP_Port. Error when trying the connection. Description: " << error.message();
        connected_ = false;
        return;
    }
    if (current_socket_ == 0) {
        // Requests are small and each waits for its answer: sending them at
        // once matters more than filling segments. (The board answers on the
        // four connections in turn, so most requests would otherwise wait for
        // a delayed acknowledgement.)
        std::error_code ignored;
        sockets_[0]->set_option(tcp::no_delay(true), ignored);
    }
    if (current_socket_ + 1 < socket_count) {
        ++current_socket_;
        ++current_endpoint_;
        start_connect();
    } else {
        for (auto& socket : sockets_) {
            // A smaller buffer than asked for only costs headroom against a
            // slow reader; the connection works all the same.
            std::error_code option_error;
            socket->set_option(asio::socket_base::receive_buffer_size(receive_buffer_size),
                               option_error);
            if (option_error) {
                VXN_LOG("TCPIP_Port", WAR)
                    << "TCPIP_Port. Cannot set the socket receive buffer. Description: "
                    << option_error.message();
            }
        }
        current_socket_ = 0;
        read_all();
    }
    VXN_LOG("TCPIP_Port", DBG) << "TCPIP_Port. Connected to endpoint.";
    connected_ = true;
}

void TCPIP_Port::on_deadline() {
    if (std::chrono::system_clock::now() < deadline_.expiry() || connected_)
        return;
    VXN_LOG("TCPIP_Port", WAR)
        << "TCPIP_Port. Connection timeout and already not connected. Close sockets.";
    // The sockets belong to the I/O thread: close them there.
    std::promise<void> closed;
    asio::post(io_, [this, &closed] {
        for (auto& socket : sockets_) {
            std::error_code ignored;
            socket->close(ignored);
        }
        closed.set_value();
    });
    closed.get_future().wait();
    timed_out_ = true;
}

// --- Reading --------------------------------------------------------------------

void TCPIP_Port::read_all() {
    asio::async_read(*sockets_[current_socket_], asio::buffer(receive_buffer_),
                     [this](const std::error_code& error, size_t bytes) { on_read(error, bytes); });
}

void TCPIP_Port::on_read(const std::error_code& error, size_t bytes) {
    if (error || bytes != block_size) {
        if (!closing_) {
            VXN_LOG("TCPIP_Port", WAR) << "TCPIP_Port. Reading stopped. Identifier: " << identifier_
                                       << ". Description: " << error.message() << ".";
        }
        return;
    }
    stripe_position_ = (stripe_position_ + block_size) % stripe_size;
    if (reset_) {
        if (stripe_position_ == 0)
            reset_ = false;
    } else {
        globals::PushRawPacket(identifier_, receive_buffer_);
    }
    if (stripe_position_ == 0)
        current_socket_ = (current_socket_ + 1) % socket_count;
    if (!closing_)
        read_all();
}

void TCPIP_Port::run_async_tasks() {
    io_.run();
}

// --- Sending --------------------------------------------------------------------

std::unique_lock<std::timed_mutex> TCPIP_Port::lock_for_sending() {
    VXN_LOG("Async Task", DBG) << "TCPIP Port. Try getting the lock.";
    std::unique_lock<std::timed_mutex> lock(write_lock_, std::defer_lock);
    if (!lock.try_lock_for(write_lock_wait)) {
        VXN_LOG("Async Task", DBG) << "TCPIP Port. Failed to get the lock.";
        throw boards::comm_error(0, 0);
    }
    VXN_LOG("Async Task", DBG) << "TCPIP Port. Write lock retrieved.";
    return lock;
}

unsigned int TCPIP_Port::write_cmd(unsigned short board, unsigned short address,
                                   const std::vector<unsigned int>& words) {
    auto lock = lock_for_sending();
    const uint8_t packet_id = globals::register_request();
    VXN_LOG("TCPIP_Port", DBG) << "TCPIP_Port. Sending a write command. IP: " << address_text_
                               << ". Board: " << board << ". Address: " << address
                               << ". PktID: " << unsigned(packet_id)
                               << ". Payload length: " << words.size() << ".";
    send(build_write_frame(board, address, words, packet_id));
    return packet_id;
}

unsigned int TCPIP_Port::read_cmd(unsigned short board, unsigned short address,
                                  unsigned short count) {
    auto lock = lock_for_sending();
    const uint8_t packet_id = globals::register_request();
    VXN_LOG("TCPIP_Port", DBG) << "TCPIP_Port. Sending a read command. IP: " << address_text_
                               << ". Board: " << board << ". Address: " << address
                               << ". PktID: " << unsigned(packet_id) << ".";
    send(build_read_frame(board, address, count, packet_id));
    return packet_id;
}

void TCPIP_Port::global_reset() {
    auto lock = lock_for_sending();
    VXN_LOG("TCPIP_Port", DBG) << "TCPIP_Port. Sending a global reset. IP: " << address_text_;
    // The flag goes up before the frame leaves: set after, it could come too
    // late (the caller descheduled once the frame was handed over) and the
    // reader would then drop the stripe after the board's padding, an answer.
    reset_ = true;
    send(build_reset_frame());
}

void TCPIP_Port::send(std::vector<uint8_t> frame) {
    asio::post(io_, [this, frame = std::move(frame)]() mutable {
        outgoing_.push_back(std::move(frame));
        if (outgoing_.size() == 1)
            write_next();
    });
}

void TCPIP_Port::write_next() {
    asio::async_write(*sockets_[0], asio::buffer(outgoing_.front()),
                      [this](const std::error_code& error, size_t written) {
                          if (error) {
                              globals::set_last_error(EC_COMMUNICATION);
                              VXN_LOG("TCPIP_Port", DBG)
                                  << "TCPIP_Port. Write error. Buffer size: "
                                  << outgoing_.front().size() << ". Byte transferred: " << written
                                  << ". Error: " << error.message();
                          } else {
                              VXN_LOG("TCPIP_Port", DBG) << "TCPIP_Port. Write successfull.";
                          }
                          outgoing_.pop_front();
                          if (!outgoing_.empty())
                              write_next();
                      });
}

// --- Closing --------------------------------------------------------------------

void TCPIP_Port::close_sockets() {
    for (auto& socket : sockets_) {
        std::error_code ignored;
        socket->cancel(ignored);
    }
    for (auto& socket : sockets_) {
        if (!socket->is_open())
            continue;
        std::error_code ignored;
        socket->close(ignored);
        pause_ms(10);
    }
}

void TCPIP_Port::close_port() {
    std::lock_guard<std::mutex> lock(close_mutex_);
    if (closed_)
        return;
    closed_ = true;
    closing_ = true;
    VXN_LOG("TCPIP_Port", DBG) << "TCPIP_Port. Disconnecting from endpoints.";
    if (io_thread_ && io_thread_->joinable()) {
        asio::post(io_, [this] { close_sockets(); });
        work_.reset();
        io_thread_->join();
    }
    close_sockets();  // if the I/O thread never ran them
    pause_ms(10);
    sockets_.clear();
    VXN_LOG("TCPIP_Port", DBG) << "TCPIP_Port. Disconnected from endpoints.";
}

// --- What this transport does not have -------------------------------------------

void TCPIP_Port::load_fpga_bitstream(std::string) {
    throw fw_unsupported();
}
void TCPIP_Port::initialize_fw_write(bool, unsigned short&, unsigned short) {
    throw fw_unsupported();
}
void TCPIP_Port::finalize_fw_write(bool) {
    throw fw_unsupported();
}
void TCPIP_Port::new_finalize_fw_write(bool) {
    throw fw_unsupported();
}
unsigned int TCPIP_Port::getCmdPortID() {
    throw fw_unsupported();
}
void TCPIP_Port::legacy_usb_write(unsigned short, unsigned short, const data_packet&) {
    throw fw_unsupported();
}
void TCPIP_Port::legacy_usb_read(unsigned short, unsigned short, unsigned short) {
    throw fw_unsupported();
}
void TCPIP_Port::legacy_get_Data(unsigned short) {
    throw fw_unsupported();
}
void TCPIP_Port::legacy_remove_unconfirmed() {
    throw fw_unsupported();
}
void TCPIP_Port::legacy_delete_packet(unsigned short) {
    throw fw_unsupported();
}
unsigned int TCPIP_Port::legacy_get_last_pktNumber_read() {
    throw fw_unsupported();
}
