// `npkeystrand store list|import|add|remove`: the user's system stores, as the plug-in sees
// them. Keys imported into "MY" are kept where the platform keeps keys (key containers
// readable by the user alone), so that a later process finds them through the certificate's
// key provider information; other stores keep certificates only.
#include "host/StoreCommand.h"
#include "host/StoreSupport.h"

#include "host/HostPlatform.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace npk::host::store {

namespace {

const char kStoreUsage[] =
    "Usage: npkeystrand store COMMAND STORE [ARGS...]\n"
    "\n"
    "Manages the current user's certificate stores (MY, ADDRESSBOOK, ROOT, CA, ...).\n"
    "\n"
    "Commands:\n"
    "  list STORE                          print each certificate: subject, issuer, serial,\n"
    "                                      validity, SHA-1 thumbprint, whether a private key\n"
    "                                      is linked\n"
    "  import STORE FILE.pfx [--password P] [--csp PROVIDER]\n"
    "                                      add the certificates of a PFX file; in MY their\n"
    "                                      private keys are kept too (readable by you alone).\n"
    "                                      Without --password the empty password is tried.\n"
    "                                      On Windows, --csp keeps the keys in the named\n"
    "                                      provider as exchange keys\n"
    "  add STORE FILE.cer                  add a certificate file (DER, Base64 or PEM)\n"
    "  remove STORE THUMBPRINT             remove the certificate with this SHA-1 thumbprint\n"
    "                                      (40 hexadecimal digits, any case)\n"
    "\n"
    "Exit status: 0 on success, 1 when the operation failed, 2 on a usage error.\n";

std::string NameText(CERT_NAME_BLOB* name)
{
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    DWORD n = CertNameToStrW(kEncoding, name, type, nullptr, 0);
    if (n <= 1) return std::string();
    std::vector<WCHAR> buf(n);
    CertNameToStrW(kEncoding, name, type, buf.data(), n);
    return Narrow(buf.data());
}

std::string Hex(const BYTE* p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string TimeText(const FILETIME& ft)
{
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st)) return "?";
    char buf[40];
    std::snprintf(buf, sizeof(buf), "%04u-%02u-%02u %02u:%02u:%02u UTC", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    return buf;
}

// The bytes of a certificate file: DER as it is, otherwise Base64 with or without PEM
// armour. Empty when the text is not Base64.
Bytes CertificateBytes(const Bytes& file)
{
    if (!file.empty() && file[0] == 0x30) return file;
    return DecodeCertificateText(file);
}

// The token a certificate's key lives on, from its key provider information: "" for keys the
// system keeps. The smart-card provider names its keys "\\.\<token>\<key>".
std::string TokenOf(PCCERT_CONTEXT cert)
{
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) return std::string();
    std::vector<BYTE> block(cb);
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &cb)) return std::string();
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
    if (info->pwszProvName == nullptr ||
        lstrcmpiW(info->pwszProvName, TEXT("Microsoft Base Smart Card Crypto Provider")) != 0)
        return std::string();
    std::string container = info->pwszContainerName != nullptr ? Narrow(info->pwszContainerName) : std::string();
    size_t last = container.rfind('\\');
    if (container.rfind("\\\\.\\", 0) == 0 && last > 4) return container.substr(4, last - 4);
    return "smart card";
}

int ListCommand(const std::vector<std::string>& args)
{
    if (args.size() != 1) return Usage("list takes a store name");
    HCERTSTORE store = OpenUserStore(args[0], false);
    if (store == nullptr) return Fail("cannot open store " + args[0], GetLastError());
    PCCERT_CONTEXT cert = nullptr;
    bool first = true;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        const CERT_INFO* info = cert->pCertInfo;
        // The serial is kept least significant byte first; people read it the other way.
        std::string serial;
        for (DWORD i = info->SerialNumber.cbData; i > 0; --i) serial += Hex(&info->SerialNumber.pbData[i - 1], 1);
        if (!first) std::fputc('\n', stdout);
        first = false;
        std::printf("subject: %s\n", SubjectOf(cert).c_str());
        std::printf("issuer: %s\n", NameText(const_cast<CERT_NAME_BLOB*>(&info->Issuer)).c_str());
        std::printf("serial: %s\n", serial.c_str());
        std::printf("valid from: %s\n", TimeText(info->NotBefore).c_str());
        std::printf("valid to: %s\n", TimeText(info->NotAfter).c_str());
        std::printf("thumbprint: %s\n", Thumbprint(cert).c_str());
        std::printf("private key: %s\n", HasPrivateKey(cert) ? "yes" : "no");
        std::string token = TokenOf(cert);
        if (!token.empty()) std::printf("token: %s\n", token.c_str());
    }
    CertCloseStore(store, 0);
    return 0;
}

bool IsPersonalStore(const std::string& name) { return lstrcmpiW(Widen(name).c_str(), TEXT("MY")) == 0; }

int ImportCommand(const std::vector<std::string>& args)
{
    std::vector<std::string> positional;
    ImportRequest request;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--password") {
            if (i + 1 >= args.size()) return Usage("--password needs a value");
            request.password = args[++i];
            request.havePassword = true;
        } else if (args[i].rfind("--password=", 0) == 0) {
            request.password = args[i].substr(std::strlen("--password="));
            request.havePassword = true;
        } else if (args[i] == "--csp") {
            if (i + 1 >= args.size()) return Usage("--csp needs a provider name");
            request.provider = args[++i];
        } else if (args[i].rfind("--csp=", 0) == 0) {
            request.provider = args[i].substr(std::strlen("--csp="));
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return Usage(("unknown option " + args[i]).c_str());
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2) return Usage("import takes a store name and a PFX file");
    request.storeName = positional[0];
    request.path = positional[1];

    return ImportPfx(request, IsPersonalStore(request.storeName));
}

int AddCommand(const std::vector<std::string>& args)
{
    if (args.size() != 2) return Usage("add takes a store name and a certificate file");
    Bytes file;
    if (!ReadFileBytes(args[1], file)) return Fail("cannot read " + args[1], ERROR_FILE_NOT_FOUND);
    Bytes der = CertificateBytes(file);
    if (der.empty()) {
        std::fprintf(stderr, "npkeystrand store: %s is neither a DER nor a Base64 certificate\n", args[1].c_str());
        return kExitFailure;
    }
    PCCERT_CONTEXT cert = CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size()));
    if (cert == nullptr) return Fail(args[1] + " is not a certificate", GetLastError());
    HCERTSTORE store = OpenUserStore(args[0], true);
    if (store == nullptr) {
        DWORD e = GetLastError();
        CertFreeCertificateContext(cert);
        return Fail("cannot open store " + args[0], e);
    }
    int status = 0;
    if (CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_NEW, nullptr)) {
        std::printf("added: %s (thumbprint %s)\n", SubjectOf(cert).c_str(), Thumbprint(cert).c_str());
    } else if (GetLastError() == static_cast<DWORD>(CRYPT_E_EXISTS)) {
        std::printf("already in %s: %s (thumbprint %s)\n", args[0].c_str(), SubjectOf(cert).c_str(),
                    Thumbprint(cert).c_str());
    } else {
        status = Fail("cannot add " + args[1] + " to " + args[0], GetLastError());
    }
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    return status;
}

// 20 bytes from 40 hexadecimal digits; spaces and colons between them are allowed.
bool ParseThumbprint(const std::string& text, Bytes& out)
{
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() != 40) return false;
    out.clear();
    for (size_t i = 0; i < 40; i += 2) out.push_back(static_cast<BYTE>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

int RemoveCommand(const std::vector<std::string>& args)
{
    if (args.size() != 2) return Usage("remove takes a store name and a thumbprint");
    Bytes hash;
    if (!ParseThumbprint(args[1], hash)) return Usage("a thumbprint is 40 hexadecimal digits");
    HCERTSTORE store = OpenUserStore(args[0], true);
    if (store == nullptr) return Fail("cannot open store " + args[0], GetLastError());
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    PCCERT_CONTEXT cert = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    int status = 0;
    if (cert == nullptr) {
        std::fprintf(stderr, "npkeystrand store: no certificate with thumbprint %s in %s\n", Hex(hash.data(), 20).c_str(),
                     args[0].c_str());
        status = kExitFailure;
    } else {
        std::string subject = SubjectOf(cert);
        std::string token = TokenOf(cert);
        if (!token.empty()) {
            // It lives on the token and leaves the store when the token does.
            std::fprintf(stderr, "npkeystrand store: %s lives on the token \"%s\" and cannot be removed here\n",
                         subject.c_str(), token.c_str());
            CertFreeCertificateContext(cert);
            CertCloseStore(store, 0);
            return kExitFailure;
        }
        // CertDeleteCertificateFromStore frees the context whether or not it succeeds.
        if (CertDeleteCertificateFromStore(cert))
            std::printf("removed: %s (thumbprint %s)\n", subject.c_str(), Hex(hash.data(), 20).c_str());
        else
            status = Fail("cannot remove " + subject + " from " + args[0], GetLastError());
    }
    CertCloseStore(store, 0);
    return status;
}

}  // namespace

int Usage(const char* problem)
{
    if (problem != nullptr) std::fprintf(stderr, "npkeystrand store: %s\n\n", problem);
    std::fputs(kStoreUsage, problem != nullptr ? stderr : stdout);
    return problem != nullptr ? kExitUsage : 0;
}

WideString Widen(const std::string& text)
{
    if (text.empty()) return WideString();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return WideString();
    WideString out(static_cast<size_t>(n), 0);
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Narrow(LPCWSTR text)
{
    if (text == nullptr || text[0] == 0) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// "the system's text (0x........)", or the code alone when there is no text for it.
int Fail(const std::string& what, DWORD code)
{
    WCHAR buf[512] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                             ARRAYSIZE(buf), nullptr);
    std::string text = n > 0 ? Narrow(buf) : std::string();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08x", static_cast<unsigned>(code));
    std::fprintf(stderr, "npkeystrand store: %s: %s\n", what.c_str(),
                 (text.empty() ? std::string(hex) : text + " (" + hex + ")").c_str());
    return kExitFailure;
}

bool ReadFileBytes(const std::string& path, Bytes& out)
{
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) return false;
    out.assign(bytes.begin(), bytes.end());
    return true;
}

HCERTSTORE OpenUserStore(const std::string& name, bool writable)
{
    WideString wide = Widen(name);
    DWORD flags = CERT_SYSTEM_STORE_CURRENT_USER | (writable ? 0 : CERT_STORE_READONLY_FLAG);
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, wide.c_str());
}

std::string SubjectOf(PCCERT_CONTEXT cert) { return NameText(&cert->pCertInfo->Subject); }

std::string Thumbprint(PCCERT_CONTEXT cert)
{
    BYTE hash[20];
    DWORD cb = sizeof(hash);
    if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &cb)) return std::string();
    return Hex(hash, cb);
}

bool HasPrivateKey(PCCERT_CONTEXT cert)
{
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &prov, &keySpec, &callerFree))
        return false;
    if (callerFree) CryptReleaseContext(prov, 0);
    return true;
}

}  // namespace npk::host::store

int StoreCommandMain(int argc, char** argv)
{
    using namespace npk::host::store;
    if (argc < 2) return Usage("no store command given");
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") return Usage(nullptr);
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "list") return ListCommand(args);
    if (command == "import") return ImportCommand(args);
    if (command == "add") return AddCommand(args);
    if (command == "remove") return RemoveCommand(args);
    return Usage(("unknown store command " + command).c_str());
}
