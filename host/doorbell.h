// An eventfd that wakes the service's loop from any thread. Whoever may
// ring it holds it, so that it stays open for as long as any of them may.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

namespace host {

class Doorbell {
public:
    // Nothing, errno set, when no eventfd can be had.
    static std::shared_ptr<Doorbell> Make()
    {
        int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        return descriptor < 0 ? nullptr : std::shared_ptr<Doorbell>(new Doorbell(descriptor));
    }
    ~Doorbell() { close(descriptor_); }
    Doorbell(const Doorbell &) = delete;
    Doorbell &operator=(const Doorbell &) = delete;

    int Descriptor() const { return descriptor_; }
    void Ring() const
    {
        uint64_t one = 1;
        ssize_t written = write(descriptor_, &one, sizeof one);
        (void)written;  // only full after 2^64 - 1 rings unanswered
    }
    // Quiets it; the loop then looks at what every ring may have been for.
    void Answer() const
    {
        uint64_t count;
        ssize_t got = read(descriptor_, &count, sizeof count);
        (void)got;
    }

private:
    explicit Doorbell(int descriptor) : descriptor_(descriptor) {}
    const int descriptor_;
};

}  // namespace host
