// The process-wide registry: the chains, the address query, the worker
// threads, the initialised flag, the last error and the small pieces of state
// that the exported functions and the background threads share.
//
// Lock order (a lock may be taken while holding only locks listed before it):
//   1. api_mutex            (exported functions, whole body)
//   1a. lifecycle_mutex     (InitLibrary, CloseLibrary)
//   2. async_task_mutex     (one asynchronous task at a time)
//   3. lan_resolver_mutex   (one resolver cycle, or one firmware operation)
//   3a. the dispatcher's data_dispatcher_mutex (its stores, for a whole pass)
//   4. devices_mutex        (chain objects against removal during delivery)
//   5. registry_mutex       (chain map, query, flag, thread handles)
//   6. scan_mutex           (end-of-pass signal to InitLibrary)
//   7. global_data_mutex    (raw queues' push signal)
//   8. pkt_id_mutex, raw_queues_mutex, a queue's own lock, a connection's
//      write lock (before pkt_id_mutex), a chain's board-list lock and a
//      board's data lock (leaves)
// last_error and the initialised flag are atomics and need no lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "VXN_DPP.h"
#include "raw_buffers_queue.h"

class boards;
class DataDispatcherThr;
class dpp_lan_resolver;

class globals {
  public:
    using chain_map = std::map<std::string, std::shared_ptr<boards>>;
    using query_list = std::vector<std::pair<std::string, bool>>;

    // Comm protocol of a chain.
    static constexpr bool TCPIP = true;
    static constexpr bool USB = false;
    // Result kinds of chain operations and answers.
    static constexpr unsigned short ERR = 0;
    static constexpr unsigned short READ = 1;
    static constexpr unsigned short WRITE = 2;
    // Longest wait of InitLibrary for the first scan, in milliseconds.
    static constexpr unsigned int timeout_initialization = 30000;

    // The registry, created on the first call (from any thread, once).
    static globals* get();
    ~globals();
    globals(const globals&) = delete;
    globals& operator=(const globals&) = delete;

    // --- Initialised flag and worker threads --------------------------------
    bool is_Initialized() const { return initialized_.load(); }
    void set_Initialized();
    void unset_Initialized();
    // Each replaces the previous object (which must be stopped).
    void set_dispatcher_thr();
    std::shared_ptr<DataDispatcherThr> get_dispatcher_thr();
    void set_lan_resolver_thr();
    std::shared_ptr<dpp_lan_resolver> get_lan_resolver_thr();
    // Wakes the dispatcher if it sleeps waiting for data.
    void ForceWakeupDispatcher();
    // Run when a program exits without CloseLibrary: answers are no longer
    // delivered (the program's objects are being destroyed), the worker
    // threads stop and the chains' connections close while everything they
    // use still exists. Does not wait for a running command.
    void shut_down_at_exit();

    // --- Chain map --------------------------------------------------------
    // The chain of `identifier`; throws invalid_serial when there is none.
    std::shared_ptr<boards> getByID(const std::string& identifier);
    chain_map GetDevicesList();
    // The chains reached over TCP/IP.
    chain_map GetEthDevicesList();
    size_t get_devices_size();
    // Closes every chain's connection and empties the map. Not initialised:
    // sets EC_NOT_INITIALIZED and returns false.
    bool closeDevices();

    // Builds the chain of a master (connecting it takes about 2 s) and
    // registers it with its raw queue. False, with the code set where one
    // applies, when it cannot be built; exceptions of other kinds leave.
    bool AddDeviceToList(const std::string& identifier, bool comm_protocol);
    // Closes the chain's connection and drops it from the map (its raw queue
    // stays).
    bool RemoveDeviceFromList(const std::string& identifier);
    // Drops the chain's boards from position `board` on.
    bool RemoveDevicesFromChain(const std::string& identifier, unsigned short board);
    void SendReset(const std::string& identifier);
    // Two resets, then forgets the chain's partly received data.
    void ResetChain(const std::string& identifier);
    // Re-runs discovery; false when there is no chain at all; invalid_serial
    // for an unknown identifier; discovery failures leave.
    bool ScanSlaves(const std::string& identifier);
    // Discovery on the chain added last; false when there is no chain.
    bool UpdateLastDeviceChain();

    // Deliveries of acquisition data from the dispatcher. std::out_of_range
    // "UpdateData: Id" when the chain is not registered, and what the chain
    // throws ("UpdateData: Board" for a board it does not have).
    void UpdateSingleSpectData(const std::string& identifier, unsigned short board,
                               const std::vector<unsigned char>& payload);
    void UpdateMapData(const std::string& identifier, unsigned short board,
                       const std::vector<unsigned char>& payload);
    void UpdateWaveData(const std::string& identifier, unsigned short board,
                        const std::vector<unsigned char>& payload);
    void UpdateListData(const std::string& identifier, unsigned short board,
                        const std::vector<unsigned char>& payload);
    void UpdateListWaveData(const std::string& identifier, unsigned short board,
                            const std::vector<unsigned char>& payload);
    // The chain's spectrum depth; std::out_of_range "GetSpectDepth: Id".
    unsigned short GetSpectDepth(const std::string& identifier);

    // --- Address query ----------------------------------------------------
    bool AddToQuery(const std::string& address);
    // True also when the address was not in the query.
    bool RemoveFromQuery(const std::string& address);
    // False when the address is not in the query.
    bool SetQueryEntryConnected(const std::string& address);
    bool SetQueryEntryDisconnected(const std::string& address);
    query_list GetQuery();
    // Opens and closes the four ports of `address` once, so that a board
    // drops connections left over by a process that ended without closing
    // them. Throws std::system_error for a text that is not an IP address.
    bool flush_local_eth_conn(const std::string& address);

    // --- Firmware programming progress (0 .. 1) ---------------------------
    void UpdateProgProgress(double value);
    void AddProgProgress(double delta);
    double GetProgrammingProgress() const { return programming_progress_.load(); }

    // --- Last error -------------------------------------------------------
    // Logs "Set last error to: <code>" and stores the code; any thread.
    static void set_last_error(error_code code);
    static error_code get_last_error() { return last_error.load(); }

    // --- Requests and answers ----------------------------------------------
    // Takes the next packet id and registers a promise for its answer (an
    // entry still present for that id is kept). Under pkt_id_mutex.
    static uint8_t register_request();

    // --- Raw queues (one per identifier, never removed) ---------------------
    // Appends a received block; wakes the dispatcher when a whole stripe of
    // the chain has arrived. False for an identifier without queue.
    static bool PushRawPacket(const std::string& identifier,
                              const std::vector<unsigned char>& bytes);
    // Moves every byte queued for the identifier into `out`.
    static bool PopRawPacket(const std::string& identifier, std::vector<unsigned char>& out);
    static bool ClearRawQueue(const std::string& identifier);
    // Queued bytes; 0 without queue, -1 when the queue's lock timed out.
    static int GetRawSize(const std::string& identifier);
    // Sleeps until data is pushed for any chain or ForceWakeupDispatcher is
    // called; returns at once when some chain's queue holds data.
    static void WaitPushSignal();

    // --- Shared state -----------------------------------------------------
    std::atomic<bool> auto_scan_slaves{true};

    std::mutex api_mutex;
    std::mutex lifecycle_mutex;  // keeps InitLibrary and CloseLibrary apart
    std::mutex devices_mutex;
    std::mutex registry_mutex;
    std::mutex scan_mutex;
    std::condition_variable_any scan_done;  // notified with scan_mutex held

    // The chains by identifier, in byte-wise string order. Changed under
    // devices_mutex and registry_mutex; read under registry_mutex.
    static chain_map devices;
    // Addresses asked for, in insertion order, with their connected mark.
    // Guarded by registry_mutex.
    static query_list query;

    static std::atomic<error_code> last_error;

    // Promises of the answers awaited, by packet id, and the next packet id.
    // Guarded by pkt_id_mutex.
    static std::map<unsigned int, std::promise<std::vector<unsigned int>>> promise_map;
    static uint8_t pkt_id;
    static std::mutex pkt_id_mutex;

    // Received bytes per identifier. Entries are only ever added; the map's
    // structure is guarded by raw_queues_mutex (a leaf), each queue by its own
    // lock.
    static std::map<std::string, raw_buffers_queue<unsigned char>> raw_queues;
    static std::mutex raw_queues_mutex;

    // Call id of the next asynchronous command; read and advanced under
    // api_mutex. Starts at 1 so that 0 never names a command.
    static unsigned int call_id;
    // The future of the last launched task; replaced under api_mutex.
    static std::future<void> pending_futures;
    // One asynchronous task at a time.
    static std::mutex async_task_mutex;

    // The registered callback. Written by register_callback, read by the task
    // threads; registration is expected before commands are issued.
    static constexpr uint8_t NO_CALLBACK = 0;
    static constexpr uint8_t C_CALLBACK = 1;
    static constexpr uint8_t PY_CALLBACK = 2;
    static std::atomic<uint8_t> callback_registration_status;
    static std::atomic<vxn_dpp_callback> callback_function;

    // Held by the resolver for a whole cycle and by firmware operations.
    static std::mutex lan_resolver_mutex;

    static std::unique_ptr<globals> inst_ptr;

  private:
    globals() = default;
    static raw_buffers_queue<unsigned char>* find_queue(const std::string& identifier);
    void stop_threads();

    std::atomic<bool> initialized_{false};
    std::atomic<double> programming_progress_{0.0};
    std::string last_added_;                              // registry_mutex
    std::shared_ptr<DataDispatcherThr> dispatcher_thr_;   // registry_mutex
    std::shared_ptr<dpp_lan_resolver> lan_resolver_thr_;  // registry_mutex
};

// Taken around every push, every clear, the emptiness check of WaitPushSignal
// and every wake-up, so that no wake-up is lost.
extern std::mutex global_data_mutex;
extern std::condition_variable_any data_notifier;
