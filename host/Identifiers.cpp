#include "host/Identifiers.h"

#include "host/HostMutex.h"

#include <climits>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace npk::host {

namespace {

struct Identifier {
    bool isString;
    std::string name;
    int32_t value;
};

struct Table {
    HostMutex lock;
    std::deque<Identifier> storage;  // stable addresses: an identifier is a pointer into it
    std::unordered_map<std::string, Identifier*> byName;
    std::map<int32_t, Identifier*> byValue;
    std::unordered_set<const void*> valid;
};

Table& TheTable()
{
    static Table table;
    return table;
}

// A handle the plug-in passes back may be anything; only our own are read.
const Identifier* Lookup(IdentifierHandle handle)
{
    Table& t = TheTable();
    std::lock_guard<HostMutex> guard(t.lock);
    return t.valid.count(handle) != 0 ? static_cast<const Identifier*>(handle) : nullptr;
}

}  // namespace

IdentifierHandle InternStringIdentifier(const char* utf8)
{
    if (utf8 == nullptr) {
        return nullptr;
    }
    Table& t = TheTable();
    std::lock_guard<HostMutex> guard(t.lock);
    auto it = t.byName.find(utf8);
    if (it != t.byName.end()) {
        return it->second;
    }
    Identifier& id = t.storage.emplace_back(Identifier{true, utf8, 0});
    t.byName.emplace(id.name, &id);
    t.valid.insert(&id);
    return &id;
}

IdentifierHandle InternIntIdentifier(int32_t value)
{
    Table& t = TheTable();
    std::lock_guard<HostMutex> guard(t.lock);
    auto it = t.byValue.find(value);
    if (it != t.byValue.end()) {
        return it->second;
    }
    Identifier& id = t.storage.emplace_back(Identifier{false, std::string(), value});
    t.byValue.emplace(value, &id);
    t.valid.insert(&id);
    return &id;
}

bool IdentifierIsString(IdentifierHandle id)
{
    const Identifier* p = Lookup(id);
    return p != nullptr && p->isString;
}

const std::string* IdentifierName(IdentifierHandle id)
{
    const Identifier* p = Lookup(id);
    return p != nullptr && p->isString ? &p->name : nullptr;
}

int32_t IdentifierInt(IdentifierHandle id)
{
    const Identifier* p = Lookup(id);
    return p != nullptr && !p->isString ? p->value : INT32_MIN;
}

}  // namespace npk::host
