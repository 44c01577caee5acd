// The connection of a chain object to its master board. TCPIP_Port is the one
// working implementation; the operations of other transports, which this
// library does not have, are refused with fw_unsupported.
//
// Threads and locks, for every implementation:
// - The object is built on the LAN resolver's thread (the registry adds a
//   chain there) and closed there or on the thread of CloseLibrary.
// - write_cmd, read_cmd and global_reset run on any caller's thread (task
//   threads, the resolver, API threads), each under the connection's own write
//   lock, which serialises the building and the hand-over of frames. They take
//   globals::pkt_id_mutex inside that lock to register the request.
// - Received bytes are pushed, unparsed, into the registry's raw queue of the
//   chain by the connection's own I/O thread.
// - close_port must not be called from the connection's I/O thread.
#pragma once

#include <string>
#include <vector>

// The record of the legacy USB write, which no transport of this library has.
struct data_packet {};

class comm_port {
  public:
    explicit comm_port(const std::string& /*identifier*/) {}
    virtual ~comm_port() = default;
    comm_port(const comm_port&) = delete;
    comm_port& operator=(const comm_port&) = delete;

    // Sends a write of `words` to consecutive registers of `board` from
    // `address`. Registers the request (a promise in globals::promise_map under
    // a fresh packet id) before any byte leaves; returns that packet id.
    // Throws boards::comm_error(0, 0) when the write lock is not obtained
    // within 2 s (nothing sent, no id used).
    virtual unsigned int write_cmd(unsigned short board, unsigned short address,
                                   const std::vector<unsigned int>& words) = 0;

    // Sends a read of `count` registers of `board` from `address`; otherwise
    // as write_cmd.
    virtual unsigned int read_cmd(unsigned short board, unsigned short address,
                                  unsigned short count) = 0;

    // Starts (or restarts) reading the board's stream; called by the
    // connection itself once all its sockets are up.
    virtual void read_all() = 0;

    // Runs the connection's I/O; the body of its I/O thread.
    virtual void run_async_tasks() = 0;

    // Transports other than TCP/IP only: always fw_unsupported here.
    virtual void load_fpga_bitstream(std::string path) = 0;
    virtual void initialize_fw_write(bool flag, unsigned short& value, unsigned short board) = 0;
    virtual void finalize_fw_write(bool flag) = 0;
    virtual void new_finalize_fw_write(bool flag) = 0;
    virtual unsigned int getCmdPortID() = 0;
    virtual void legacy_usb_write(unsigned short board, unsigned short address,
                                  const data_packet& packet) = 0;
    virtual void legacy_usb_read(unsigned short board, unsigned short address,
                                 unsigned short count) = 0;
    virtual void legacy_get_Data(unsigned short board) = 0;
    virtual void legacy_remove_unconfirmed() = 0;
    virtual void legacy_delete_packet(unsigned short packet) = 0;
    virtual unsigned int legacy_get_last_pktNumber_read() = 0;

    // Sends the chain reset sequence (not answered) and drops the rest of the
    // stripe being received. Throws boards::comm_error(0, 0) like write_cmd.
    virtual void global_reset() = 0;

    // Closes the connection and joins its I/O thread. A second call does
    // nothing. Never throws.
    virtual void close_port() = 0;
};
