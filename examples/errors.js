// Shows how a page learns why a call failed: `npkeystrand run examples/errors.js`.
// Try it with LANG=zh_CN.UTF-8 or LANG=ko_KR.UTF-8 for the plug-in's own messages.

function describe() {
    try {
        return JSON.stringify(plugin.GetLastErrorDesc());
    } catch (e) {
        return "(GetLastErrorDesc failed: " + e.message + ")";
    }
}

function attempt(label, call) {
    try {
        print(label + " -> " + JSON.stringify(call()));
    } catch (e) {
        print(label + " failed (" + e.message + ")");
        print("  " + describe());
    }
}

print("Before any call: " + describe());
attempt('SignMessage("text", "SHA-1")', function () { return plugin.SignMessage("text", "SHA-1"); });
attempt('SignMessage("text", "MD-4")', function () { return plugin.SignMessage("text", "MD-4"); });
attempt('DecryptEnvelopeMessage("not an envelope")', function () { return plugin.DecryptEnvelopeMessage("not an envelope"); });
