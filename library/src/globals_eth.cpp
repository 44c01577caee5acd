// Dropping a board's stale connections.
#include <asio.hpp>
#include <chrono>
#include <memory>
#include <vector>

#include "Boost_Log.h"
#include "TCPIP_Port.h"
#include "globals.h"

bool globals::flush_local_eth_conn(const std::string& address) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    VXN_LOG("Global", INF) << "Trying connection and disconnection to sockets of address "
                           << address << ".";
    // An I/O context of its own: the chain's connection, if any, is not
    // touched.
    asio::io_context io;
    const asio::ip::address ip = asio::ip::make_address(address);
    std::vector<std::unique_ptr<asio::ip::tcp::socket>> sockets;
    for (unsigned short k = 0; k < TCPIP_Port::socket_count; ++k) {
        sockets.push_back(std::make_unique<asio::ip::tcp::socket>(io));
        // Each attempt gets 10 ms: enough on a local network, and bounded
        // when nobody answers. A failed connect is of no concern here.
        sockets.back()->async_connect(
            asio::ip::tcp::endpoint(ip, static_cast<unsigned short>(TCPIP_Port::first_port + k)),
            [](const std::error_code&) {});
        io.restart();
        io.run_for(std::chrono::milliseconds(10));
    }
    for (auto& socket : sockets) {
        std::error_code ignored;
        socket->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket->close(ignored);
    }
    io.restart();
    io.run();  // lets the aborted connects complete
    VXN_LOG("Global", INF) << "Flush local ethernet connection completed. Address: " << address
                           << ".";
    return true;
}
