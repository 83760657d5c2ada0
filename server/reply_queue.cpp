#include "server/reply_queue.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace {

static_assert((REPLY_QUEUE_BYTES & (REPLY_QUEUE_BYTES - 1)) == 0, "the positions wrap with the ring");

// A ring of bytes. kept_total counts every byte appended (main thread), sent_total every byte the
// connection took from the ring (worker); both only grow, and wrap together at 2^32. A byte is
// stored before kept_total is advanced past it, and it is sent before sent_total is: each side
// reads the other's position and then only the bytes it names.
char queue[REPLY_QUEUE_BYTES];
std::atomic<uint32_t> kept_total{0};
std::atomic<uint32_t> sent_total{0};

uint32_t offset_of(uint32_t position)
{
    return position & (REPLY_QUEUE_BYTES - 1);
}

}  // namespace

ReplyFate send_or_keep(SOCKET socket, const char* reply, size_t length)
{
    const uint32_t kept = kept_total.load(std::memory_order_relaxed);
    const uint32_t sent = sent_total.load(std::memory_order_acquire);
    if (kept == sent) {
        // Nothing waits: every earlier byte is in the connection, so this one may follow at once.
        const int result = send(socket, reply, static_cast<int>(length), 0);
        if (result == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
            return ReplyFate::refused;
        }
        if (result > 0) {
            reply += result;
            length -= static_cast<size_t>(result);
        }
        if (length == 0) {
            return ReplyFate::sent;
        }
    }
    if (length > REPLY_QUEUE_BYTES - (kept - sent)) {
        return ReplyFate::refused;
    }
    const uint32_t offset = offset_of(kept);
    const size_t first = length < REPLY_QUEUE_BYTES - offset ? length : REPLY_QUEUE_BYTES - offset;
    std::memcpy(queue + offset, reply, first);
    std::memcpy(queue, reply + first, length - first);
    kept_total.store(kept + static_cast<uint32_t>(length), std::memory_order_release);
    return ReplyFate::kept;
}

void clear_reply_queue()
{
    kept_total.store(0);
    sent_total.store(0);
}

bool replies_waiting()
{
    return kept_total.load(std::memory_order_acquire) != sent_total.load(std::memory_order_relaxed);
}

bool send_waiting_replies(SOCKET socket)
{
    for (;;) {
        const uint32_t kept = kept_total.load(std::memory_order_acquire);
        const uint32_t sent = sent_total.load(std::memory_order_relaxed);
        if (kept == sent) {
            return true;
        }
        const uint32_t offset = offset_of(sent);
        const uint32_t waiting = kept - sent;
        const uint32_t run = waiting < REPLY_QUEUE_BYTES - offset ? waiting : REPLY_QUEUE_BYTES - offset;
        const int result = send(socket, queue + offset, static_cast<int>(run), 0);
        if (result == SOCKET_ERROR) {
            // No room: the connection's write event tells the worker when there is.
            return WSAGetLastError() == WSAEWOULDBLOCK;
        }
        sent_total.store(sent + static_cast<uint32_t>(result), std::memory_order_release);
    }
}
