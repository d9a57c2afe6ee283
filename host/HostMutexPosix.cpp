#include "host/HostMutex.h"

#include <mutex>

namespace npk::host {

HostMutex::HostMutex() : m_impl(new std::mutex) {}

HostMutex::~HostMutex()
{
    delete static_cast<std::mutex*>(m_impl);
}

void HostMutex::lock()
{
    static_cast<std::mutex*>(m_impl)->lock();
}

void HostMutex::unlock()
{
    static_cast<std::mutex*>(m_impl)->unlock();
}

}  // namespace npk::host
