// The raw byte queues between the connections and the dispatcher, the signal
// that wakes the dispatcher, and the registration of requests.
#include <string>
#include <vector>

#include "Boost_Log.h"
#include "TCPIP_Port.h"
#include "globals.h"

uint8_t globals::register_request() {
    std::lock_guard<std::mutex> lock(pkt_id_mutex);
    const uint8_t id = pkt_id;
    promise_map.try_emplace(id);  // an entry still waiting for its answer stays
    ++pkt_id;                     // wraps from 255 to 0
    return id;
}

raw_buffers_queue<unsigned char>* globals::find_queue(const std::string& identifier) {
    std::lock_guard<std::mutex> lock(raw_queues_mutex);
    auto it = raw_queues.find(identifier);
    // Entries are never removed, so the queue outlives the lookup.
    return it == raw_queues.end() ? nullptr : &it->second;
}

bool globals::PushRawPacket(const std::string& identifier,
                            const std::vector<unsigned char>& bytes) {
    VXN_LOG("Global", TRC) << "Pushing a raw packet to raw queues map. Identifier: " << identifier
                           << ". Length: " << bytes.size() << ".";
    raw_buffers_queue<unsigned char>* queue = find_queue(identifier);
    if (queue == nullptr) {
        VXN_LOG("Global", ::ERR) << "Pushing to raw queues failed. Buffer for that board not "
                                    "created. Identifier: "
                                 << identifier << ". Length: " << bytes.size() << ".";
        return false;
    }
    std::lock_guard<std::mutex> lock(global_data_mutex);
    queue->push(bytes);
    const uint32_t n = static_cast<uint32_t>(bytes.size());
    if (queue->count_stripe(n, TCPIP_Port::stripe_size)) {
        data_notifier.notify_one();
        VXN_LOG("Global", TRC) << "Pushed to raw queues and notified DataDispatcher. Identifier: "
                               << identifier << ". Current length: " << n
                               << ". Total length: " << queue->size() << ".";
    }
    VXN_LOG("Global", TRC) << "Pushed to raw queues. Identifier: " << identifier
                           << ". Length: " << n << ".";
    return true;
}

bool globals::PopRawPacket(const std::string& identifier, std::vector<unsigned char>& out) {
    VXN_LOG("Global", TRC) << "Popping a raw packet from raw queues map. Identifier: " << identifier
                           << ".";
    raw_buffers_queue<unsigned char>* queue = find_queue(identifier);
    if (queue == nullptr) {
        VXN_LOG("Global", ::ERR) << "Popping from raw queues map failed. Buffer for that board not "
                                    "created. Identifier: "
                                 << identifier << ".";
        return false;
    }
    if (queue->size() != 0)
        queue->pop(out);
    VXN_LOG("Global", TRC) << "Popped from raw queues. Identifier: " << identifier
                           << ". Length: " << out.size() << ".";
    return true;
}

bool globals::ClearRawQueue(const std::string& identifier) {
    VXN_LOG("Global", DBG) << "Clearing raw queue for identifier: " << identifier << ".";
    raw_buffers_queue<unsigned char>* queue = find_queue(identifier);
    if (queue == nullptr) {
        VXN_LOG("Global", ::ERR) << "No queue to be cleared. Identifier: " << identifier << ".";
        return false;
    }
    std::lock_guard<std::mutex> lock(global_data_mutex);
    queue->clear();
    VXN_LOG("Global", ::ERR) << "Raw queue cleared. Identifier: " << identifier << ".";
    return true;
}

int globals::GetRawSize(const std::string& identifier) {
    VXN_LOG("Global", TRC) << "Asking raw queue size. Identifier: " << identifier << ".";
    raw_buffers_queue<unsigned char>* queue = find_queue(identifier);
    if (queue == nullptr) {
        VXN_LOG("Global", ::ERR) << "Asking raw queue size failure. Buffer for that board not "
                                    "created. Identifier: "
                                 << identifier << ".";
        return 0;
    }
    const int size = queue->size();
    VXN_LOG("Global", TRC) << "Returning raw queue size. Identifier: " << identifier
                           << ". Size: " << size;
    return size;
}

void globals::WaitPushSignal() {
    VXN_LOG("Global", TRC) << "Going asleep waiting for a push signal.";
    // The chain list is copied before taking global_data_mutex: a thread that
    // holds the registry's locks may be joining an I/O thread that waits for
    // global_data_mutex. A chain added after the copy pushes, and so
    // notifies, under the same mutex, after the wait below has begun.
    const chain_map chains = get()->GetDevicesList();
    std::unique_lock<std::mutex> lock(global_data_mutex);
    for (const auto& entry : chains)
        if (GetRawSize(entry.first) != 0)
            return;
    data_notifier.wait(lock);
    VXN_LOG("Global", TRC) << "Woke up by a push signal or forced wake up.";
}

void globals::ForceWakeupDispatcher() {
    VXN_LOG("Global", TRC) << "Force waking up dispatcher thread.";
    std::lock_guard<std::mutex> lock(global_data_mutex);
    data_notifier.notify_one();
    VXN_LOG("Global", TRC) << "Force woke up dispatcher thread.";
}
