// The bridge's browser side: one plug-in instance per page document, opened, called and
// closed by the extension's messages, through the same NPAPI browser side as `npkeystrand run`.
#pragma once

#include "host/PluginLibrary.h"
#include "host/bridge/Json.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace npk::bridge {

class Bridge {
public:
    // pluginPath: the library to load; empty to search as `npkeystrand` does.
    explicit Bridge(std::string pluginPath);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Answers one message (an object). Never throws; every fault is an error answer.
    JsonValue Handle(const JsonValue& message);

    // Destroys every instance, shuts the plug-in down and unloads it.
    void Shutdown();

    size_t OpenDocuments() const { return m_docs.size(); }

private:
    struct Document {
        std::string origin;
        NPP npp = nullptr;
        NPObject* object = nullptr;  // one reference, ours
    };

    JsonValue Open(const JsonValue& id, const JsonValue& message);
    JsonValue Call(const JsonValue& id, const JsonValue& message);
    JsonValue Close(const JsonValue& id, const JsonValue& message);
    bool EnsureLibrary(std::string& error);
    void CloseDocument(Document& doc);

    std::string m_pluginPath;
    std::unique_ptr<host::PluginLibrary> m_library;
    std::map<std::string, Document> m_docs;
};

// How a failed call reaches the page: the agent's last error, read back through
// GetLastErrorDesc, whose text ends with the code as "(0x%08x)". False when the text carries
// no code.
bool CodeFromDescription(const std::string& description, uint32_t& code);

}  // namespace npk::bridge
