// A TCP client: a connection made within a time bound (the name lookup included), and the connected
// socket as a stream whose reads and writes each wait at most a given time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "PosixFd.h"
#include "kiv_net.h"

// A connected byte stream. A call may move fewer bytes than asked; it never blocks past ms.
class INonblockingStream {
public:
    virtual ~INonblockingStream() = default;
    // NET_OK: count (> 0) bytes placed in buffer; NET_DONE: the peer closed (count 0);
    // NET_WOULDBLOCK: nothing arrived within ms; NET_ERROR: failure.
    virtual net_result Read(void* buffer, size_t capacity, size_t& count, uint32_t ms) = 0;
    // NET_OK: written (> 0) bytes taken; NET_WOULDBLOCK: the peer took nothing within ms;
    // NET_ERROR: failure (the peer is gone, for one).
    virtual net_result Write(const void* bytes, size_t length, size_t& written, uint32_t ms) = 0;
};

class kiv_client {
public:
    kiv_client();
    ~kiv_client();
    kiv_client(const kiv_client&) = delete;
    kiv_client& operator=(const kiv_client&) = delete;

    // Looks the host up and connects to its first address that accepts. NET_OK connected;
    // NET_WOULDBLOCK the connection is still pending after ms (wait_connect goes on with it);
    // NET_ERROR no address, or every address refused. The lookup counts within ms: a lookup that
    // takes longer is NET_ERROR.
    net_result connect_to_host(const std::string& host, uint16_t port, uint32_t ms);
    // Waits up to ms more for a pending connection (the next addresses are tried when one fails).
    net_result wait_connect(uint32_t ms);
    // The connected stream (empty unless the last result was NET_OK); it outlives this object.
    boost::shared_ptr<INonblockingStream> get_stream();
    // A flag another thread may set to end the lookup and connection waits within 100 ms (NET_ERROR).
    // Not owned; null for none. The stream made keeps no tie to it.
    void set_stop_flag(const std::atomic<bool>* stop) { stop_ = stop; }
    // Why the last call failed.
    const std::string& get_last_error() const { return lastError_; }

private:
    net_result StartNext();
    net_result Finish(uint32_t ms);

    std::vector<std::vector<unsigned char>> addresses_;  // sockaddr bytes, in the resolver's order
    size_t next_ = 0;
    kivposix::UniqueFd pending_;
    bool connected_ = false;
    std::string lastError_;
    const std::atomic<bool>* stop_ = nullptr;
};
