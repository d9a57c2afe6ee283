// The certificate stores and the registry live in files of the user's, which anything the user
// runs can rewrite. Whatever their bytes, opening a store must give certificates whose every
// property reads back with the size it announced, and a registry value must read back with
// the size its query announced. The first byte chooses the file: 0 a certificate's property
// file, 1 a registry value file, 2 a store's index. Seeds: the files the platform writes for
// a certificate with properties and for the trace settings' values.
#include <dirent.h>

#include <string>
#include <vector>

#include <windows.h>
#include <wincrypt.h>

#include "FuzzSupport.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

HCERTSTORE OpenStore()
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("ADDRESSBOOK"));
}

// One certificate with a property in "ADDRESSBOOK"; the paths of its property file and of
// the store's index.
struct StoreFiles {
    std::string properties;
    std::string index;
};

const StoreFiles& Store()
{
    static const StoreFiles files = [] {
        const std::string home = fuzz::PrivateHome();
        HCERTSTORE store = OpenStore();
        fuzz::Check(store != nullptr);
        std::vector<unsigned char> der = fuzz::Fixture("recipient.cer");
        PCCERT_CONTEXT cert = nullptr;
        fuzz::Check(CertAddEncodedCertificateToStore(store, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &cert));
        WCHAR name[] = TEXT("fuzz");
        CRYPT_DATA_BLOB blob{sizeof name, reinterpret_cast<BYTE*>(name)};
        fuzz::Check(CertSetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
        CertFreeCertificateContext(cert);
        CertCloseStore(store, 0);
        StoreFiles f;
        const std::string dir = home + "/data/npkeystrand/SystemCertificates/ADDRESSBOOK";
        DIR* d = opendir(dir.c_str());
        fuzz::Check(d != nullptr);
        while (struct dirent* entry = readdir(d)) {
            std::string n = entry->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".prop") == 0) f.properties = dir + "/" + n;
        }
        closedir(d);
        f.index = dir + "/index";
        fuzz::Check(!f.properties.empty());
        return f;
    }();
    return files;
}

HKEY RegistryKey(std::string* valueFile)
{
    static std::string file;
    static HKEY key = [] {
        const std::string home = fuzz::PrivateHome();
        HKEY k = nullptr;
        fuzz::Check(RegCreateKeyExW(HKEY_CURRENT_USER, TEXT("fuzz"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                    nullptr) == ERROR_SUCCESS);
        const DWORD one = 1;
        fuzz::Check(RegSetValueExW(k, TEXT("value"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one) ==
                    ERROR_SUCCESS);
        file = home + "/config/npkeystrand/registry/HKEY_CURRENT_USER/k.fuzz/v.value";
        return k;
    }();
    *valueFile = file;
    return key;
}

void ReadStore()
{
    HCERTSTORE store = OpenStore();
    fuzz::Check(store != nullptr);
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
        DWORD id = 0;
        while ((id = CertEnumCertificateContextProperties(c, id)) != 0) {
            DWORD cb = 0;
            if (!CertGetCertificateContextProperty(c, id, nullptr, &cb)) continue;
            std::vector<BYTE> value(cb + 8, 0xA5);
            DWORD got = cb;
            if (CertGetCertificateContextProperty(c, id, value.data(), &got)) {
                fuzz::Check(got <= cb);
                for (size_t i = cb; i < value.size(); ++i) fuzz::Check(value[i] == 0xA5);
            }
        }
    }
    fuzz::Check(CertCloseStore(store, 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 16) return 0;
    const uint8_t* body = data + 1;
    const size_t length = size - 1;
    switch (data[0] % 3) {
    case 0:
        fuzz::WriteFile(Store().properties, body, length);
        ReadStore();
        break;
    case 1: {
        std::string file;
        HKEY key = RegistryKey(&file);
        fuzz::WriteFile(file, body, length);
        DWORD type = 0, cb = 0;
        if (RegQueryValueExW(key, TEXT("value"), nullptr, &type, nullptr, &cb) == ERROR_SUCCESS) {
            std::vector<BYTE> value(cb + 8, 0xA5);
            DWORD got = cb;
            fuzz::Check(RegQueryValueExW(key, TEXT("value"), nullptr, &type, value.data(), &got) == ERROR_SUCCESS);
            fuzz::Check(got == cb);
            for (size_t i = cb; i < value.size(); ++i) fuzz::Check(value[i] == 0xA5);
        }
        WCHAR name[64];
        DWORD cchName = 64;
        cb = 0;
        (void)RegEnumValueW(key, 0, name, &cchName, nullptr, &type, nullptr, &cb);
        break;
    }
    default:
        fuzz::WriteFile(Store().index, body, length);
        ReadStore();
        break;
    }
    return 0;
}
