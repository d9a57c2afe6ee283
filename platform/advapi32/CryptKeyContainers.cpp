#include "advapi32/CryptKeyContainers.h"

#include "advapi32/CryptObjects.h"
#include "crypt32/LibContext.h"
#include "pkcs11/TokenProvider.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace {

const uint32_t kFileMagic = 0x434B504E;  // "NPKC"
const uint32_t kFileVersion = 1;
const char kFileSuffix[] = ".key";

std::string Lower(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string EnvOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string HomeDirectory()
{
    std::string home = EnvOrEmpty("HOME");
    if (!home.empty())
        return home;
    struct passwd* pw = getpwuid(getuid());
    return pw != nullptr && pw->pw_dir != nullptr ? std::string(pw->pw_dir) : std::string("/tmp");
}

// Root of the containers; read on every call because the variables may change.
std::string ContainerDirectory(bool machine)
{
    std::string base = EnvOrEmpty("XDG_DATA_HOME");
    if (base.empty() || base[0] != '/')
        base = HomeDirectory() + "/.local/share";
    std::string dir = base + "/npkeystrand/Crypto";
    if (machine)
        dir += "/Machine";
    return dir;
}

bool MakeDirectories(const std::string& path)
{
    // Every directory made here is the user's alone; existing parents are left as they are,
    // the Crypto directories themselves are forced to 0700.
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return (st.st_mode & 0777) == 0700 || chmod(path.c_str(), 0700) == 0;
}

bool PrepareDirectory(bool machine)
{
    if (!MakeDirectories(ContainerDirectory(false)))
        return false;
    return !machine || MakeDirectories(ContainerDirectory(true));
}

// File name of a container: a digest of the folded name, so that any name is a valid file
// name and names differing only in case meet.
std::string FileName(const std::string& name)
{
    std::string folded = Lower(name);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_MD* md = EVP_MD_fetch(NpkLibContext(), "SHA2-256", nullptr);
    EVP_Digest(folded.data(), folded.size(), digest, &size, md, nullptr);
    EVP_MD_free(md);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < 16 && i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out + kFileSuffix;
}

std::string FilePath(const std::string& name, bool machine)
{
    return ContainerDirectory(machine) + "/" + FileName(name);
}

void PutU32(std::vector<unsigned char>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

bool GetU32(const std::vector<unsigned char>& in, size_t& pos, uint32_t& v)
{
    if (in.size() - pos < 4 || pos > in.size())
        return false;
    v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(in[pos + i]) << (8 * i);
    pos += 4;
    return true;
}

DWORD ErrnoToError(int err)
{
    switch (err) {
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    default: return static_cast<DWORD>(NTE_FAIL);
    }
}

// Serialises the container; the caller holds its lock.
bool Serialise(const KeyContainer& container, std::vector<unsigned char>& out)
{
    PutU32(out, kFileMagic);
    PutU32(out, kFileVersion);
    PutU32(out, static_cast<uint32_t>(container.Name.size()));
    out.insert(out.end(), container.Name.begin(), container.Name.end());
    uint32_t count = 0;
    for (EVP_PKEY* key : container.Keys)
        count += key != nullptr ? 1 : 0;
    PutU32(out, count);
    for (DWORD spec = AT_KEYEXCHANGE; spec <= AT_SIGNATURE; ++spec) {
        EVP_PKEY* key = container.Keys[spec - 1];
        if (key == nullptr)
            continue;
        unsigned char* der = nullptr;
        PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key);
        int len = p8 != nullptr ? i2d_PKCS8_PRIV_KEY_INFO(p8, &der) : -1;
        PKCS8_PRIV_KEY_INFO_free(p8);
        if (len <= 0)
            return false;
        PutU32(out, spec);
        PutU32(out, static_cast<uint32_t>(len));
        out.insert(out.end(), der, der + len);
        OPENSSL_clear_free(der, static_cast<size_t>(len));
    }
    return true;
}

// Writes the container's file atomically: temporary file, fsync, rename, fsync the directory.
DWORD WriteContainer(const KeyContainer& container)
{
    if (!PrepareDirectory(container.Machine))
        return ErrnoToError(errno);
    std::vector<unsigned char> bytes;
    if (!Serialise(container, bytes))
        return static_cast<DWORD>(NTE_FAIL);
    std::string dir = ContainerDirectory(container.Machine);
    std::string path = dir + "/" + FileName(container.Name);
    std::string tmp = dir + "/.tmp-XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        return ErrnoToError(errno);
    DWORD result = 0;
    if (fchmod(fd, 0600) != 0)
        result = ErrnoToError(errno);
    size_t done = 0;
    while (result == 0 && done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            result = ErrnoToError(n < 0 ? errno : ENOSPC);
        else
            done += static_cast<size_t>(n);
    }
    if (result == 0 && fsync(fd) != 0)
        result = ErrnoToError(errno);
    if (close(fd) != 0 && result == 0)
        result = ErrnoToError(errno);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    if (result == 0 && rename(tmp.c_str(), path.c_str()) != 0)
        result = ErrnoToError(errno);
    if (result != 0) {
        unlink(tmp.c_str());
        return result;
    }
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& out, int& err)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    unsigned char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    close(fd);
    return true;
}

// Parses a container file; null for a damaged one.
std::shared_ptr<KeyContainer> Parse(const std::vector<unsigned char>& bytes, bool machine)
{
    size_t pos = 0;
    uint32_t magic = 0, version = 0, nameLen = 0, count = 0;
    if (!GetU32(bytes, pos, magic) || magic != kFileMagic || !GetU32(bytes, pos, version) ||
        version != kFileVersion || !GetU32(bytes, pos, nameLen) || bytes.size() - pos < nameLen)
        return nullptr;
    auto container = std::make_shared<KeyContainer>();
    container->Name.assign(reinterpret_cast<const char*>(bytes.data() + pos), nameLen);
    container->Persistent = true;
    container->Machine = machine;
    pos += nameLen;
    if (!GetU32(bytes, pos, count) || count > 2)
        return nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t spec = 0, len = 0;
        if (!GetU32(bytes, pos, spec) || (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) ||
            !GetU32(bytes, pos, len) || bytes.size() - pos < len)
            return nullptr;
        const unsigned char* p = bytes.data() + pos;
        EVP_PKEY* key = d2i_AutoPrivateKey_ex(nullptr, &p, static_cast<long>(len), NpkLibContext(),
                                              nullptr);
        if (key == nullptr)
            return nullptr;
        EVP_PKEY_free(container->Keys[spec - 1]);
        container->Keys[spec - 1] = key;
        pos += len;
    }
    return container;
}

std::shared_ptr<KeyContainer> LoadFromDisk(const std::string& path, bool machine)
{
    std::vector<unsigned char> bytes;
    int err = 0;
    if (!ReadWholeFile(path, bytes, err))
        return nullptr;
    std::shared_ptr<KeyContainer> container = Parse(bytes, machine);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    return container;
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct MemoryContainers {
    MemoryContainers() { NpkLibContext(); }  // keys freed here need the context alive
    std::mutex Lock;
    // Keyed by machine flag and folded name.
    std::map<std::pair<bool, std::string>, std::shared_ptr<KeyContainer>> Map;
};

MemoryContainers& Memory()
{
    static MemoryContainers containers;
    return containers;
}

// Serialises creation and deletion, so that "exists" checks and writes do not interleave.
std::mutex& DiskLock()
{
    static std::mutex lock;
    return lock;
}

// Containers read from the disk, kept while their file stays the same: decoding the key again
// for every provider handle would also lose what OpenSSL keeps with a key between signatures
// (blinding values, Montgomery forms), which costs more than the signature's own arithmetic
// takes in a few calls. A file replaced or changed by anyone is read again. Guarded by DiskLock.
struct DiskContainer {
    std::shared_ptr<KeyContainer> Container;
    dev_t Device;
    ino_t Inode;
    off_t Size;
    struct timespec Modified;
};

struct DiskContainers {
    DiskContainers() { NpkLibContext(); }  // keys freed here need the context alive
    std::map<std::string, DiskContainer> Map;  // by file path
};

DiskContainers& Disk()
{
    static DiskContainers containers;
    return containers;
}

const time_t kSettledSeconds = 2;

bool SameFile(const DiskContainer& known, const struct stat& st)
{
    return known.Device == st.st_dev && known.Inode == st.st_ino && known.Size == st.st_size &&
           known.Modified.tv_sec == st.st_mtim.tv_sec && known.Modified.tv_nsec == st.st_mtim.tv_nsec;
}

// Enough for a few threads signing with the same key at once.
const size_t kMaxIdleSignContexts = 4;

// Frees the kept signing contexts of a key spec, whose key is being replaced. Caller holds
// the container's lock.
void DropSignContexts(KeyContainer& container, DWORD keySpec)
{
    auto& idle = container.IdleSignContexts;
    for (auto it = idle.begin(); it != idle.end();) {
        if (it->KeySpec == keySpec) {
            EVP_PKEY_CTX_free(it->Ctx);
            it = idle.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<KeyContainer> FindInMemory(const std::string& name, bool machine)
{
    MemoryContainers& memory = Memory();
    std::lock_guard<std::mutex> guard(memory.Lock);
    auto it = memory.Map.find({machine, Lower(name)});
    return it != memory.Map.end() ? it->second : nullptr;
}

} // namespace

KeyContainer::~KeyContainer()
{
    for (const SignContext& idle : IdleSignContexts)
        EVP_PKEY_CTX_free(idle.Ctx);
    EVP_PKEY_free(Keys[0]);
    EVP_PKEY_free(Keys[1]);
}

std::string NpkDefaultContainerName()
{
    struct passwd* pw = getpwuid(getuid());
    if (pw != nullptr && pw->pw_name != nullptr && pw->pw_name[0] != 0)
        return pw->pw_name;
    std::string user = EnvOrEmpty("USER");
    return user.empty() ? std::string("user") : user;
}

std::shared_ptr<KeyContainer> NpkOpenKeyContainer(const std::string& name, bool machine,
                                                  DWORD* error)
{
    if (std::shared_ptr<KeyContainer> found = FindInMemory(name, machine))
        return found;
    std::string path = FilePath(name, machine);
    std::lock_guard<std::mutex> guard(DiskLock());
    auto& cache = Disk().Map;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        cache.erase(path);
        *error = static_cast<DWORD>(NTE_BAD_KEYSET);
        return nullptr;
    }
    auto known = cache.find(path);
    if (known != cache.end() && SameFile(known->second, st))
        return known->second.Container;
    // Stat taken before the read: a change in between only makes the next open read again.
    std::shared_ptr<KeyContainer> container = LoadFromDisk(path, machine);
    if (container == nullptr) {
        cache.erase(path);
        *error = static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD);
        return nullptr;
    }
    // A file changed within the last moments may change again within the same tick of the
    // file system's clock, unseen by its times; it is kept only once it has settled.
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_sec - st.st_mtim.tv_sec >= kSettledSeconds)
        cache[path] = DiskContainer{container, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    else
        cache.erase(path);
    return container;
}

std::shared_ptr<KeyContainer> NpkCreateKeyContainer(const std::string& name, bool machine,
                                                    DWORD* error)
{
    if (FindInMemory(name, machine) != nullptr) {
        *error = static_cast<DWORD>(NTE_EXISTS);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(DiskLock());
    if (FileExists(FilePath(name, machine))) {
        *error = static_cast<DWORD>(NTE_EXISTS);
        return nullptr;
    }
    auto container = std::make_shared<KeyContainer>();
    container->Name = name;
    container->Persistent = true;
    container->Machine = machine;
    DWORD result = WriteContainer(*container);
    if (result != 0) {
        *error = result;
        return nullptr;
    }
    return container;
}

DWORD NpkDeleteKeyContainer(const std::string& name, bool machine)
{
    bool found = false;
    {
        MemoryContainers& memory = Memory();
        std::lock_guard<std::mutex> guard(memory.Lock);
        found = memory.Map.erase({machine, Lower(name)}) != 0;
    }
    std::lock_guard<std::mutex> guard(DiskLock());
    std::string path = FilePath(name, machine);
    Disk().Map.erase(path);
    if (unlink(path.c_str()) == 0)
        found = true;
    else if (errno != ENOENT)
        return ErrnoToError(errno);
    return found ? 0 : static_cast<DWORD>(NTE_BAD_KEYSET);
}

std::vector<std::string> NpkEnumKeyContainers(bool machine)
{
    std::vector<std::string> names;
    {
        MemoryContainers& memory = Memory();
        std::lock_guard<std::mutex> guard(memory.Lock);
        for (const auto& [key, container] : memory.Map)
            if (key.first == machine)
                names.push_back(container->Name);
    }
    std::string dir = ContainerDirectory(machine);
    std::lock_guard<std::mutex> guard(DiskLock());
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    std::vector<std::string> files;
    while (struct dirent* entry = readdir(d)) {
        std::string file = entry->d_name;
        if (file.size() > 4 && file[0] != '.' && file.compare(file.size() - 4, 4, kFileSuffix) == 0)
            files.push_back(file);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        std::shared_ptr<KeyContainer> container = LoadFromDisk(dir + "/" + file, machine);
        if (container == nullptr)
            continue;
        bool duplicate = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return Lower(n) == Lower(container->Name);
        });
        if (!duplicate)
            names.push_back(container->Name);
    }
    return names;
}

DWORD NpkContainerSetKey(KeyContainer& container, DWORD keySpec, EVP_PKEY* key)
{
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    if (key == nullptr || !EVP_PKEY_up_ref(key))
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(container.Lock);
    DropSignContexts(container, keySpec);
    EVP_PKEY* previous = container.Keys[keySpec - 1];
    container.Keys[keySpec - 1] = key;
    if (container.Persistent) {
        std::lock_guard<std::mutex> disk(DiskLock());
        DWORD result = WriteContainer(container);
        if (result != 0) {
            // The file still holds the old key; so must the container.
            container.Keys[keySpec - 1] = previous;
            EVP_PKEY_free(key);
            return result;
        }
    }
    EVP_PKEY_free(previous);
    return 0;
}

EVP_PKEY* NpkContainerGetKey(KeyContainer& container, DWORD keySpec)
{
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
        return nullptr;
    std::lock_guard<std::mutex> guard(container.Lock);
    EVP_PKEY* key = container.Keys[keySpec - 1];
    if (key != nullptr && EVP_PKEY_up_ref(key))
        return key;
    return nullptr;
}

EVP_PKEY_CTX* NpkContainerTakeSignContext(KeyContainer& container, DWORD keySpec, const EVP_MD* md)
{
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
        return nullptr;
    const int digestType = md != nullptr ? EVP_MD_get_type(md) : NID_undef;
    EVP_PKEY* key = nullptr;
    {
        std::lock_guard<std::mutex> guard(container.Lock);
        auto& idle = container.IdleSignContexts;
        for (auto it = idle.begin(); it != idle.end(); ++it) {
            if (it->KeySpec == keySpec && it->DigestType == digestType) {
                EVP_PKEY_CTX* ctx = it->Ctx;
                idle.erase(it);
                return ctx;
            }
        }
        key = container.Keys[keySpec - 1];
        if (key == nullptr || !EVP_PKEY_up_ref(key))
            return nullptr;
    }
    // Made outside the lock: the context holds a reference of its own to the key.
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(NpkLibContext(), key, nullptr);
    EVP_PKEY_free(key);
    if (ctx == nullptr)
        return nullptr;
    if (EVP_PKEY_sign_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
        (md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx, md) != 1)) {
        EVP_PKEY_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

void NpkContainerReleaseSignContext(KeyContainer& container, DWORD keySpec, const EVP_MD* md,
                                    EVP_PKEY_CTX* ctx)
{
    if (ctx == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(container.Lock);
        auto& idle = container.IdleSignContexts;
        if ((keySpec == AT_KEYEXCHANGE || keySpec == AT_SIGNATURE) &&
            EVP_PKEY_CTX_get0_pkey(ctx) == container.Keys[keySpec - 1] && idle.size() < kMaxIdleSignContexts) {
            idle.push_back({keySpec, md != nullptr ? EVP_MD_get_type(md) : NID_undef, ctx});
            return;
        }
    }
    EVP_PKEY_CTX_free(ctx);
}

bool NpkStoreKeyInContainer(LPCWSTR container, LPCWSTR provider, DWORD provType, DWORD keySpec,
                            EVP_PKEY* key, bool persist)
{
    if (key == nullptr || (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE))
        return NpkFail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (provider != nullptr) {
        const auto& providers = NpkProviders();
        auto it = std::find_if(providers.begin(), providers.end(), [&](const ProviderInfo& p) {
            return lstrcmpiW(p.WideName, provider) == 0;
        });
        if (it == providers.end())
            return NpkFail(NTE_KEYSET_NOT_DEF);
        if (it->Type != provType)
            return NpkFail(NTE_PROV_TYPE_NO_MATCH);
    }
    std::string name = container != nullptr && container[0] != 0 ? NpkToUtf8(container)
                                                                   : NpkDefaultContainerName();
    std::shared_ptr<KeyContainer> target;
    DWORD error = 0;
    if (persist) {
        target = NpkOpenKeyContainer(name, false, &error);
        if (target != nullptr && !target->Persistent)
            target = nullptr;  // a memory container of that name; the disk one is asked for
        if (target == nullptr) {
            std::lock_guard<std::mutex> guard(DiskLock());
            if (FileExists(FilePath(name, false))) {
                target = LoadFromDisk(FilePath(name, false), false);
                if (target == nullptr)
                    return NpkFail(NTE_KEYSET_ENTRY_BAD);
            } else {
                target = std::make_shared<KeyContainer>();
                target->Name = name;
                target->Persistent = true;
            }
        }
    } else {
        MemoryContainers& memory = Memory();
        std::lock_guard<std::mutex> guard(memory.Lock);
        auto& slot = memory.Map[{false, Lower(name)}];
        if (slot == nullptr) {
            slot = std::make_shared<KeyContainer>();
            slot->Name = name;
        }
        target = slot;
    }
    error = NpkContainerSetKey(*target, keySpec, key);
    if (error != 0)
        return NpkFail(error);
    return true;
}

EVP_PKEY* NpkFindKeyInContainer(LPCWSTR container, DWORD keySpec, bool machine)
{
    std::string name = container != nullptr && container[0] != 0 ? NpkToUtf8(container)
                                                                   : NpkDefaultContainerName();
    DWORD error = 0;
    std::shared_ptr<KeyContainer> found = NpkIsTokenContainerName(name) ? NpkOpenTokenContainer(name, &error)
                                                                         : NpkOpenKeyContainer(name, machine, &error);
    if (found == nullptr) {
        SetLastError(error);
        return nullptr;
    }
    EVP_PKEY* key = NpkContainerGetKey(*found, keySpec);
    if (key == nullptr)
        SetLastError(static_cast<DWORD>(NTE_NO_KEY));
    return key;
}
