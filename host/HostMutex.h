// The lock the browser side takes around what other threads may reach (asynchronous calls,
// identifiers). The Windows toolchain's C++ library is built without std::mutex, so each
// platform supplies its own; it satisfies BasicLockable for std::lock_guard.
#pragma once

namespace npk::host {

class HostMutex {
public:
    HostMutex();
    ~HostMutex();
    HostMutex(const HostMutex&) = delete;
    HostMutex& operator=(const HostMutex&) = delete;

    void lock();
    void unlock();

private:
    void* m_impl;
};

}  // namespace npk::host
