// The handle table and CloseHandle.
#include "Handles.h"

#include <mutex>
#include <unordered_map>

namespace npk {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x100;
};

// Built on first use and freed when the library that holds it is unloaded (or the process
// ends): static objects' destructors may still close handles, and those run before the
// library's destructor functions.
HandleTable*& TablePointer()
{
    static HandleTable* table = new HandleTable;
    return table;
}

HandleTable& Table()
{
    return *TablePointer();
}

__attribute__((destructor)) void FreeHandleTable()
{
    delete TablePointer();
    TablePointer() = nullptr;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object)
{
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    // Multiples of four like Windows' handles; skip values still in use after a wrap,
    // and never hand out 0 or INVALID_HANDLE_VALUE.
    for (;;) {
        uintptr_t value = t.next;
        t.next += 4;
        if (t.next >= (uintptr_t)0x7FFFFFF0) t.next = 0x100;
        if (t.objects.count(value) == 0) {
            t.objects.emplace(value, std::move(object));
            return (HANDLE)value;
        }
    }
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle)
{
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find((uintptr_t)handle);
    return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle)
{
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find((uintptr_t)handle);
    if (it == t.objects.end()) return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

}  // namespace npk

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    std::shared_ptr<npk::KernelObject> object = npk::RemoveHandle(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->Close();
}
