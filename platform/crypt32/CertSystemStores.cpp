// The current user's system stores as directories of files.
//
// $XDG_DATA_HOME/npkeystrand/SystemCertificates/<NAME>/ holds, per certificate, <SHA1>.cer
// (its DER bytes, the thumbprint in uppercase hex) and <SHA1>.prop (its properties: "NPKPROP1"
// then records of u32 id, u32 size, bytes, little-endian), plus "index", the thumbprints one
// a line in the order they were added: enumeration follows it, and certificates whose files
// are not listed there (copied in by hand, or a crash between two writes) come after, by name.
// Every file is replaced atomically (temporary file, fsync, rename, fsync of the directory), so
// a reader never sees part of a certificate. Directories are the user's alone (0700).
// A store is read when it opens; changes made through another handle show at the next open.
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/CertSystemStore.h"
#include "pkcs11/TokenStore.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace npk::crypt32 {

namespace {

using Properties = std::map<DWORD, std::vector<BYTE>>;
constexpr char kPropMagic[] = "NPKPROP1";
constexpr size_t kPropMagicSize = 8;

std::string DataHome()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    std::string base;
    if (home != nullptr && home[0] != 0) {
        base = home;
    } else {
        struct passwd* pw = getpwuid(getuid());
        base = pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/tmp";
    }
    return base + "/.local/share";
}

DWORD ErrnoToWin32(int e)
{
    switch (e) {
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
        return ERROR_PATH_NOT_FOUND;
    default:
        return ERROR_WRITE_FAULT;
    }
}

// Makes every missing directory of path; the ones from the npkeystrand level down are 0700.
DWORD MakeDirectories(const std::string& path, size_t privateFrom)
{
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string partial = path.substr(0, pos);
        if (partial.empty()) continue;
        bool isPrivate = partial.size() >= privateFrom;
        if (mkdir(partial.c_str(), isPrivate ? 0700 : 0755) != 0) {
            if (errno != EEXIST) return ErrnoToWin32(errno);
        }
    }
    return 0;
}

std::string Hex(const std::array<BYTE, 20>& hash)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (BYTE b : hash) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

bool ReadWhole(const std::string& path, std::vector<BYTE>* out)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    BYTE buffer[8192];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        out->insert(out->end(), buffer, buffer + n);
    }
    close(fd);
    return ok;
}

void SyncDirectory(const std::string& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Replaces dir/name with bytes: a reader sees the old file or the new one, never a mix.
DWORD WriteAtomic(const std::string& dir, const std::string& name, const std::vector<BYTE>& bytes)
{
    std::string temp = dir + "/.tmp-XXXXXX";
    std::vector<char> pattern(temp.begin(), temp.end());
    pattern.push_back(0);
    int fd = mkstemp(pattern.data());
    if (fd < 0) return ErrnoToWin32(errno);
    std::string tempPath(pattern.data());
    DWORD error = 0;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = ErrnoToWin32(errno);
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error == 0 && fsync(fd) != 0) error = ErrnoToWin32(errno);
    if (close(fd) != 0 && error == 0) error = ErrnoToWin32(errno);
    if (error == 0 && rename(tempPath.c_str(), (dir + "/" + name).c_str()) != 0) error = ErrnoToWin32(errno);
    if (error != 0) {
        unlink(tempPath.c_str());
        return error;
    }
    SyncDirectory(dir);
    return 0;
}

std::vector<BYTE> EncodeProperties(const Properties& properties)
{
    std::vector<BYTE> out(kPropMagic, kPropMagic + kPropMagicSize);
    auto put = [&out](DWORD v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
    };
    for (const auto& [id, value] : properties) {
        put(id);
        put(static_cast<DWORD>(value.size()));
        out.insert(out.end(), value.begin(), value.end());
    }
    return out;
}

bool DecodeProperties(const std::vector<BYTE>& in, Properties* out)
{
    if (in.size() < kPropMagicSize || std::memcmp(in.data(), kPropMagic, kPropMagicSize) != 0) return false;
    size_t pos = kPropMagicSize;
    auto get = [&](DWORD* v) {
        if (in.size() - pos < 4) return false;
        *v = 0;
        for (int i = 0; i < 4; ++i) *v |= static_cast<DWORD>(in[pos + static_cast<size_t>(i)]) << (8 * i);
        pos += 4;
        return true;
    };
    while (pos < in.size()) {
        DWORD id = 0, size = 0;
        if (!get(&id) || !get(&size) || in.size() - pos < size) return false;
        (*out)[id].assign(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(pos + size));
        pos += size;
    }
    return true;
}

bool IsThumbprintName(const std::string& name, const char* suffix)
{
    size_t n = std::strlen(suffix);
    if (name.size() != 40 + n || name.compare(40, n, suffix) != 0) return false;
    return std::all_of(name.begin(), name.begin() + 40,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

std::vector<std::string> ReadIndex(const std::string& dir)
{
    std::vector<BYTE> bytes;
    std::vector<std::string> out;
    if (!ReadWhole(dir + "/index", &bytes)) return out;
    std::string line;
    for (BYTE b : bytes) {
        if (b == '\n') {
            if (line.size() == 40) out.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(b);
        }
    }
    return out;
}

DWORD WriteIndex(const std::string& dir, const std::vector<std::string>& entries)
{
    std::vector<BYTE> bytes;
    for (const std::string& e : entries) {
        bytes.insert(bytes.end(), e.begin(), e.end());
        bytes.push_back('\n');
    }
    return WriteAtomic(dir, "index", bytes);
}

class SystemStore : public CertStoreObject {
public:
    SystemStore(std::string dir, size_t privateFrom, bool readOnly)
        : m_dir(std::move(dir)), m_privateFrom(privateFrom), m_readOnly(readOnly) {}

    bool ReadOnly() const override { return m_readOnly; }
    bool AllowsDuplicates() const override { return false; }

    DWORD PersistAdd(const CertificateData& data, const Properties& properties) override
    {
        if (m_tokenItems.count(data.sha1) != 0) return ERROR_ACCESS_DENIED;  // it lives on a token
        DWORD error = Prepare();
        if (error != 0) return error;
        std::string thumb = Hex(data.sha1);
        // Properties first: a certificate file never appears without what belongs to it.
        error = WriteProperties(thumb, properties);
        if (error == 0) error = WriteAtomic(m_dir, thumb + ".cer", data.encoded);
        if (error != 0) return error;
        std::vector<std::string> index = ReadIndex(m_dir);
        if (std::find(index.begin(), index.end(), thumb) == index.end()) {
            index.push_back(thumb);
            // The certificate is in place; a lost index entry only moves it to the end.
            WriteIndex(m_dir, index);
        }
        return 0;
    }

    DWORD PersistRemove(const CertificateData& data) override
    {
        if (m_tokenItems.count(data.sha1) != 0) return ERROR_ACCESS_DENIED;
        std::string thumb = Hex(data.sha1);
        if (unlink((m_dir + "/" + thumb + ".cer").c_str()) != 0 && errno != ENOENT) return ErrnoToWin32(errno);
        unlink((m_dir + "/" + thumb + ".prop").c_str());
        SyncDirectory(m_dir);
        std::vector<std::string> index = ReadIndex(m_dir);
        auto it = std::find(index.begin(), index.end(), thumb);
        if (it != index.end()) {
            index.erase(it);
            WriteIndex(m_dir, index);
        }
        return 0;
    }

    DWORD PersistProperties(const CertificateData& data, const Properties& properties) override
    {
        if (m_tokenItems.count(data.sha1) != 0) return 0;  // kept in memory with the token's item
        DWORD error = Prepare();
        if (error != 0) return error;
        return WriteProperties(Hex(data.sha1), properties);
    }

    // Reads the directory into the listing; a missing directory is an empty store.
    void Load()
    {
        DIR* d = opendir(m_dir.c_str());
        if (d == nullptr) return;
        std::set<std::string> present;
        while (struct dirent* entry = readdir(d)) {
            std::string name = entry->d_name;
            if (IsThumbprintName(name, ".cer")) present.insert(name.substr(0, 40));
        }
        closedir(d);
        std::vector<std::string> order;
        for (const std::string& thumb : ReadIndex(m_dir))
            if (present.erase(thumb) != 0) order.push_back(thumb);
        order.insert(order.end(), present.begin(), present.end());

        std::lock_guard<std::mutex> guard(Lock());
        for (const std::string& thumb : order) {
            std::vector<BYTE> bytes;
            if (!ReadWhole(m_dir + "/" + thumb + ".cer", &bytes) || bytes.empty()) continue;
            DWORD error = 0;
            std::shared_ptr<CertificateData> data = DecodeCertificate(bytes.data(), static_cast<DWORD>(bytes.size()), &error);
            // A file that is not the certificate its name says is ignored rather than trusted.
            if (!data || Hex(data->sha1) != thumb) continue;
            Properties properties;
            std::vector<BYTE> propBytes;
            if (ReadWhole(m_dir + "/" + thumb + ".prop", &propBytes) && !DecodeProperties(propBytes, &properties))
                properties.clear();
            InsertLocked(std::move(data), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, std::move(properties));
        }
    }

    // The certificates of the user's tokens, with their keys there, join "MY" while it is open.
    void LoadTokens() { npk::pkcs11::AddTokenCertificates(*this, m_tokenItems); }

    DWORD Prepare()
    {
        DWORD error = MakeDirectories(m_dir, m_privateFrom);
        if (error == 0) chmod(m_dir.c_str(), 0700);
        return error;
    }

private:
    DWORD WriteProperties(const std::string& thumb, const Properties& properties)
    {
        if (properties.empty()) {
            if (unlink((m_dir + "/" + thumb + ".prop").c_str()) != 0 && errno != ENOENT) return ErrnoToWin32(errno);
            return 0;
        }
        return WriteAtomic(m_dir, thumb + ".prop", EncodeProperties(properties));
    }

    std::string m_dir;
    size_t m_privateFrom;
    bool m_readOnly;
    npk::pkcs11::Thumbprints m_tokenItems;  // guarded by the store's lock
};

// The directory name of a store: names are case-insensitive, so ASCII is uppercased.
bool StoreDirectoryName(const std::string& name, std::string* out)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\\') != std::string::npos)
        return false;
    out->clear();
    for (char c : name) *out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    return true;
}

}  // namespace

std::string SystemStoreDirectory(const std::string& utf8Name)
{
    std::string dirName;
    if (!StoreDirectoryName(utf8Name, &dirName)) return std::string();
    return DataHome() + "/npkeystrand/SystemCertificates/" + dirName;
}

CertStoreObject* OpenSystemStore(const std::string& utf8Name, DWORD flags, DWORD* error)
{
    std::string dir = SystemStoreDirectory(utf8Name);
    if (dir.empty()) {
        *error = static_cast<DWORD>(E_INVALIDARG);
        return nullptr;
    }
    struct stat st{};
    bool exists = stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if ((flags & CERT_STORE_OPEN_EXISTING_FLAG) != 0 && !exists) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if ((flags & CERT_STORE_CREATE_NEW_FLAG) != 0 && exists) {
        *error = ERROR_FILE_EXISTS;
        return nullptr;
    }
    bool readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    size_t privateFrom = DataHome().size() + std::strlen("/npkeystrand");
    SystemStore* store = new (std::nothrow) SystemStore(dir, privateFrom, readOnly);
    if (store == nullptr) {
        *error = static_cast<DWORD>(E_OUTOFMEMORY);
        return nullptr;
    }
    if ((flags & CERT_STORE_CREATE_NEW_FLAG) != 0) {
        DWORD made = store->Prepare();
        if (made != 0) {
            store->CloseOpen();
            *error = made;
            return nullptr;
        }
    }
    store->Load();
    if (dir == SystemStoreDirectory("MY")) store->LoadTokens();
    return store;
}

}  // namespace npk::crypt32
