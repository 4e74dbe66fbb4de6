// SPDX-License-Identifier: MIT
#ifndef SENTRELREQUESTQUEUE_P_H
#define SENTRELREQUESTQUEUE_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include <cstddef>
#include <deque>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

class QSentrelReporter;

// A mutex that spins a little before it sleeps. The request queue's lock is held for a push or
// a swap, far less than putting a thread to sleep and waking it takes.
class SentrelSpinningMutex
{
public:
    void lock()
    {
        for (int i = 0; i < 100; ++i) {
            if (mutex.try_lock())
                return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        mutex.lock();
    }
    bool try_lock()
    {
        return mutex.try_lock();
    }
    void unlock()
    {
        mutex.unlock();
    }

private:
    std::mutex mutex;
};

// One request for the reporter: a callable kept in place, never on the heap. Made on the
// application's thread and run and destroyed on the worker, so a heap copy would make the two
// threads contend for the allocator's lock on every event.
class SentrelRequest
{
public:
    static constexpr std::size_t capacity = 128;

    SentrelRequest() = default;
    template <typename Callable,
              typename = std::enable_if_t<!std::is_same_v<std::decay_t<Callable>, SentrelRequest>>>
    SentrelRequest(Callable &&callable) // NOLINT(google-explicit-constructor): lambdas convert
    {
        using Stored = std::decay_t<Callable>;
        static_assert(sizeof(Stored) <= capacity, "the request's captures do not fit");
        static_assert(alignof(Stored) <= alignof(std::max_align_t),
                      "the request's captures are over-aligned");
        new (storage) Stored(std::forward<Callable>(callable));
        operations = &operationsOf<Stored>;
    }
    SentrelRequest(SentrelRequest &&other) noexcept { take(other); }
    SentrelRequest &operator=(SentrelRequest &&other) noexcept
    {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    // A recording call: what it holds, counted against the queue's bound in bytes.
    // Such a request may be dropped; a request with none (a control request) never is.
    static SentrelRequest recording(SentrelRequest &&request, std::size_t bytes)
    {
        request.recordedBytes = bytes + sizeof(SentrelRequest);
        return std::move(request);
    }
    std::size_t recordingBytes() const { return recordedBytes; }
    bool isRecording() const { return recordedBytes != 0; }
    SentrelRequest(const SentrelRequest &) = delete;
    SentrelRequest &operator=(const SentrelRequest &) = delete;
    ~SentrelRequest() { reset(); }

    explicit operator bool() const { return operations != nullptr; }
    void operator()(QSentrelReporter *reporter) { operations->invoke(storage, reporter); }

private:
    struct Operations
    {
        void (*invoke)(void *stored, QSentrelReporter *reporter);
        void (*move)(void *from, void *to); // and destroys what was moved from
        void (*destroy)(void *stored);
    };
    template <typename Stored>
    static constexpr Operations operationsOf = {
            [](void *stored, QSentrelReporter *reporter) {
                (*static_cast<Stored *>(stored))(reporter);
            },
            [](void *from, void *to) {
                new (to) Stored(std::move(*static_cast<Stored *>(from)));
                static_cast<Stored *>(from)->~Stored();
            },
            [](void *stored) {
                static_cast<Stored *>(stored)->~Stored();
            },
    };

    void take(SentrelRequest &other) noexcept
    {
        if (!other.operations)
            return;
        other.operations->move(other.storage, storage);
        operations = std::exchange(other.operations, nullptr);
        recordedBytes = std::exchange(other.recordedBytes, 0);
    }
    void reset()
    {
        if (operations)
            std::exchange(operations, nullptr)->destroy(storage);
        recordedBytes = 0;
    }

    const Operations *operations = nullptr;
    std::size_t recordedBytes = 0; // in the padding behind operations: no larger a request
    alignas(std::max_align_t) unsigned char storage[capacity];
};
static_assert(sizeof(SentrelRequest) == SentrelRequest::capacity + alignof(std::max_align_t),
              "a request is its captures and one aligned slot for what runs them");

// Requests, oldest first, in chunks of a few hundred, so that queuing allocates once per
// chunk. Not thread-safe: the tracker core guards the shared queue and swaps it whole.
class SentrelRequestQueue
{
public:
    bool empty() const { return chunks.empty(); }

    void push(SentrelRequest &&request)
    {
        if (chunks.empty() || chunks.back().size() == chunkSize) {
            chunks.emplace_back();
            chunks.back().reserve(chunkSize);
        }
        chunks.back().push_back(std::move(request));
    }

    // Removes the oldest request and returns it. Not on an empty queue.
    SentrelRequest take()
    {
        std::vector<SentrelRequest> &front = chunks.front();
        SentrelRequest request = std::move(front[head]);
        if (++head == front.size()) {
            chunks.pop_front();
            head = 0;
        }
        return request;
    }

    // Moves every request of other behind these, leaving other empty. Other has had none taken.
    void append(SentrelRequestQueue &other)
    {
        for (std::vector<SentrelRequest> &chunk : other.chunks)
            chunks.push_back(std::move(chunk));
        other.chunks.clear();
    }

    void swap(SentrelRequestQueue &other) noexcept
    {
        chunks.swap(other.chunks);
        std::swap(head, other.head);
    }

    void clear()
    {
        chunks.clear();
        head = 0;
    }

private:
    static constexpr std::size_t chunkSize = 256;
    std::deque<std::vector<SentrelRequest>> chunks;
    std::size_t head = 0; // of the first chunk, the requests before it have been taken
};

#endif // SENTRELREQUESTQUEUE_P_H
