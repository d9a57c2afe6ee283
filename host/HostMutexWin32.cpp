#include "host/HostMutex.h"

#include <windows.h>

namespace npk::host {

// A slim reader/writer lock is one pointer wide and needs no clean-up, so it lives in
// m_impl itself.
static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRW lock fits the pointer it is kept in");

HostMutex::HostMutex() : m_impl(nullptr)
{
    InitializeSRWLock(reinterpret_cast<PSRWLOCK>(&m_impl));
}

HostMutex::~HostMutex() = default;

void HostMutex::lock()
{
    AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&m_impl));
}

void HostMutex::unlock()
{
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&m_impl));
}

}  // namespace npk::host
