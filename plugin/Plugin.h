// CPlugin: one per plug-in instance; holds the instance's scriptable object.
#pragma once

#include "npfunctions.h"

class CPlugin {
public:
    explicit CPlugin(NPP pNPInstance);
    ~CPlugin();
    CPlugin(const CPlugin&) = delete;
    CPlugin& operator=(const CPlugin&) = delete;

    // A new reference to the instance's scriptable object (created on first request), or null.
    NPObject* GetScriptableObject();
    int16_t handleEvent(void* event);
    void shut();

private:
    NPP m_pNPInstance;
    NPObject* m_pScriptableObject;  // one reference owned by this object
};
