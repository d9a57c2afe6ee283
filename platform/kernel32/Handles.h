// The handle table of the layer's kernel objects (files now; events and others may join).
// A handle is a small number, never a pointer, so a stale or made-up value is recognised
// and refused instead of being dereferenced.
#pragma once

#include <windows.h>

#include <memory>

namespace npk {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once, when the object's handle is closed. The object itself lives on until
    // the last call that is using it returns; what it holds is released in its destructor.
    virtual BOOL Close() { return TRUE; }
};

// Enters the object in the table; returns its new handle.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object behind a live handle, or null.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// Takes the handle out of the table and hands back its object, or null when it is not live.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

// The object behind a live handle when it is of type T. Otherwise null, with
// ERROR_INVALID_HANDLE as the last error.
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle)
{
    std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(LookupHandle(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace npk
