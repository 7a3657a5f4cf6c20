// The kernel's registry routines (RtlQueryRegistryValues, RtlWriteRegistryValue,
// ZwOpenKey, ZwDeleteKey, ZwClose) on the host's current registry store, and
// the key handles they hand out.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/registry_store.h"

using zm4::host::NamedValue;
using zm4::host::RegistryStore;
using zm4::host::RegistryValue;

namespace {

// Published statuses the driver never tests for by name.
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS kStatusObjectNameInvalid = static_cast<NTSTATUS>(0xC0000033);
constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017C);
constexpr ACCESS_MASK kDeleteAccess = 0x00010000;

std::atomic<RegistryStore *> gCurrent{nullptr};

struct KeyHandle {
    uint64_t storeSerial; // a handle only works on the store it was opened in
    std::string path;
    ACCESS_MASK access;
    bool deleted;
};

// Kernel handles are small multiples of four; start well away from null.
std::mutex gHandleMutex; // guards gHandles and gNextHandle
std::map<uintptr_t, KeyHandle> gHandles;
uintptr_t gNextHandle = 0x100;

size_t wideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Resolves a kernel key name to a store path. Names without a root (the
// driver's "Software\Lumena\ZM4 Microscope" with RTL_REGISTRY_ABSOLUTE and its
// "Enum\USB\VID_1E7A&PID_0001" with no root directory) denote machine-wide
// state, so they resolve under HKEY_LOCAL_MACHINE; the full object names
// "\Registry\Machine\..." and "\Registry\User\..." reach the same tree.
std::optional<std::string> resolvePath(std::u16string_view name)
{
    auto utf8 = zm4::host::utf8FromUtf16(name);
    if (!utf8)
        return std::nullopt;
    std::string path;
    path.reserve(utf8->size() + 20); // the longest root name in place of its prefix
    auto startsFolded = [&](std::string_view prefix) {
        return utf8->size() >= prefix.size() &&
               RegistryStore::sameName(std::string_view(*utf8).substr(0, prefix.size()), prefix) &&
               (utf8->size() == prefix.size() || (*utf8)[prefix.size()] == '\\');
    };
    if (startsFolded("\\registry\\machine"))
        path.append("HKEY_LOCAL_MACHINE").append(*utf8, 17);
    else if (startsFolded("\\registry\\user"))
        path.append("HKEY_USERS").append(*utf8, 14);
    else if (!utf8->empty() && utf8->front() != '\\')
        path.append("HKEY_LOCAL_MACHINE\\").append(*utf8);
    if (!RegistryStore::isValidKeyPath(path))
        return std::nullopt;
    return path;
}

// The driver names the same few keys over and over: each thread keeps its
// last resolution, so a repeated name is neither converted, checked nor
// copied again. Null for an invalid name. The path stays valid until this
// thread's next call, so a caller is done with it before anything (a query
// routine) can resolve another.
const std::string *storePath(std::u16string_view name)
{
    thread_local std::u16string lastName;
    thread_local std::optional<std::string> lastPath;
    thread_local bool resolved = false;
    if (!resolved || name != lastName) {
        lastPath = resolvePath(name);
        lastName.assign(name);
        resolved = true;
    }
    return lastPath ? &*lastPath : nullptr;
}

// A value name as the store spells it, into out (whose buffer is reused):
// false for a name that is not text or not a valid value name.
bool valueName(PCWSTR name, std::string &out)
{
    if (!name) {
        out.clear(); // the key's default value
        return true;
    }
    return zm4::host::utf8FromUtf16({name, wideLength(name)}, out) && RegistryStore::isValidValueName(out);
}

// What one RtlQueryRegistryValues call converts names into and copies its
// snapshot into. The driver reads its settings many times a second, so these
// buffers live on from call to call, one set per thread and per nesting
// depth: a query routine may query the registry again while its caller still
// walks its own snapshot.
struct QueryScratch {
    std::vector<std::string> names; // the first nameCount are this call's
    size_t nameCount = 0;
    std::vector<NamedValue> values;
    std::string name;
};

class QueryScratchLease {
public:
    QueryScratchLease()
    {
        // Held by pointer, so that a nested call growing the stack leaves
        // the outer calls' buffers where they are.
        if (depth_ == stack_.size())
            stack_.push_back(std::make_unique<QueryScratch>());
        scratch_ = stack_[depth_++].get();
        scratch_->nameCount = 0;
    }
    ~QueryScratchLease() { --depth_; }
    QueryScratchLease(const QueryScratchLease &) = delete;
    QueryScratchLease &operator=(const QueryScratchLease &) = delete;

    QueryScratch &operator*() const { return *scratch_; }
    QueryScratch *operator->() const { return scratch_; }

private:
    static thread_local std::vector<std::unique_ptr<QueryScratch>> stack_;
    static thread_local size_t depth_;
    QueryScratch *scratch_;
};

thread_local std::vector<std::unique_ptr<QueryScratch>> QueryScratchLease::stack_;
thread_local size_t QueryScratchLease::depth_ = 0;

// Stores one value for a direct query, as the kernel does: a REG_SZ into the
// UNICODE_STRING at EntryContext (the driver stores no expandable or multiple
// strings, so those read as plain data); other data of at most four bytes straight
// into EntryContext; longer data into the buffer whose first LONG gives its
// size: negative, the data alone at the start of the buffer; positive, the
// length and type words followed by the data.
NTSTATUS mStoreDirect(PVOID entryContext, ULONG type, const uint8_t *data, size_t length)
{
    auto *out = static_cast<uint8_t *>(entryContext);
    if (type == REG_SZ) {
        auto *string = static_cast<UNICODE_STRING *>(entryContext);
        size_t textBytes = length & ~size_t(1);
        if (textBytes >= 2 && data[textBytes - 2] == 0 && data[textBytes - 1] == 0)
            textBytes -= 2;
        // The allocating form (a null Buffer) is not provided: no caller of
        // this host reads strings, and a buffer it would have to free is a
        // leak waiting to happen.
        if (!string->Buffer)
            return STATUS_INVALID_PARAMETER;
        if (textBytes + 2 > string->MaximumLength)
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(string->Buffer, data, textBytes);
        string->Buffer[textBytes / 2] = 0;
        string->Length = static_cast<USHORT>(textBytes);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        if (length > 0)
            std::memcpy(out, data, length);
        return STATUS_SUCCESS;
    }
    LONG size;
    std::memcpy(&size, out, sizeof size);
    if (size < 0) {
        if (length > static_cast<size_t>(-static_cast<int64_t>(size)))
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data, length);
        return STATUS_SUCCESS;
    }
    if (length + 2 * sizeof(ULONG) > static_cast<size_t>(size))
        return STATUS_BUFFER_TOO_SMALL;
    const ULONG header[2] = {static_cast<ULONG>(length), type};
    std::memcpy(out, header, sizeof header);
    std::memcpy(out + sizeof header, data, length);
    return STATUS_SUCCESS;
}

// The type a direct entry's buffer is laid out for: the one named with
// RTL_QUERY_REGISTRY_TYPECHECK, else that of the entry's default data, which
// lands in the same buffer. REG_NONE when the caller says nothing.
ULONG mBufferType(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK)
        return entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    return entry.DefaultData ? entry.DefaultType : REG_NONE;
}

// Whether a stored value may go into a direct entry's buffer. A value of
// another type would be read through the wrong layout: a string through a
// UNICODE_STRING that is really a 4-byte word, or a long value through a size
// word the caller never wrote. A REG_DWORD buffer is one word.
bool mFitsBuffer(const RTL_QUERY_REGISTRY_TABLE &entry, const RegistryValue &value)
{
    const ULONG expected = mBufferType(entry);
    if (expected == REG_NONE)
        return true;
    return value.type == expected && (expected != REG_DWORD || value.data.size() <= sizeof(ULONG));
}

NTSTATUS mDeliver(const RTL_QUERY_REGISTRY_TABLE &entry, PCWSTR name, ULONG type, const uint8_t *data,
                  size_t length, PVOID context)
{
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
        return mStoreDirect(entry.EntryContext, type, data, length);
    return entry.QueryRoutine(name, type, const_cast<uint8_t *>(data), static_cast<ULONG>(length), context,
                              entry.EntryContext);
}

} // namespace

namespace zm4::host {

void setCurrentRegistry(RegistryStore *store)
{
    gCurrent.store(store);
}

RegistryStore *currentRegistry()
{
    return gCurrent.load();
}

size_t openKeyHandleCount()
{
    std::lock_guard lock(gHandleMutex);
    return gHandles.size();
}

} // namespace zm4::host

void RtlInitUnicodeString(UNICODE_STRING *destination, PCWSTR source)
{
    if (!source) {
        *destination = {0, 0, nullptr};
        return;
    }
    // Lengths are 16-bit byte counts: longer text is cut to what fits.
    const size_t bytes = std::min<size_t>(wideLength(source) * sizeof(WCHAR), 0xFFFC);
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    destination->Buffer = const_cast<WCHAR *>(source);
}

NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, RTL_QUERY_REGISTRY_TABLE *queryTable,
                                PVOID context, PVOID environment)
{
    (void)environment; // only used to expand REG_EXPAND_SZ text, which the host does not store
    // The driver only names its key by absolute path; the other bases (services,
    // control, a handle...) have no meaning on the host.
    if (relativeTo != RTL_REGISTRY_ABSOLUTE || !path || !queryTable)
        return STATUS_INVALID_PARAMETER;
    RegistryStore *store = zm4::host::currentRegistry();
    if (!store)
        return STATUS_UNSUCCESSFUL;
    const std::string *key = storePath({path, wideLength(path)});
    if (!key)
        return kStatusObjectNameInvalid;
    // One snapshot for the whole table, so that every entry sees the same key:
    // of the values the table names, or of all when an entry wants every one.
    QueryScratchLease scratch;
    std::vector<std::string> &names = scratch->names;
    bool all = false;
    for (const RTL_QUERY_REGISTRY_TABLE *entry = queryTable; entry->QueryRoutine || entry->Name; ++entry) {
        if (scratch->nameCount == names.size())
            names.emplace_back();
        if (!entry->Name || !valueName(entry->Name, names[scratch->nameCount])) {
            all = true; // an invalid name fails below, in its turn
            break;
        }
        ++scratch->nameCount;
    }
    // The key's path is done with here, before any routine could resolve another.
    const std::optional<size_t> count =
        all ? store->values(*key, scratch->values)
            : store->values(*key, std::span<const std::string>(names.data(), scratch->nameCount),
                            scratch->values);
    if (!count)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const std::span<const NamedValue> values(scratch->values.data(), *count);

    for (RTL_QUERY_REGISTRY_TABLE *entry = queryTable; entry->QueryRoutine || entry->Name; ++entry) {
        if (entry->Flags &
            ~(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK))
            return STATUS_NOT_IMPLEMENTED; // subkey, top-key and delete entries: unused here
        const bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (direct && (!entry->Name || !entry->EntryContext))
            return STATUS_INVALID_PARAMETER;
        if (!direct && !entry->QueryRoutine)
            return STATUS_INVALID_PARAMETER;

        if (!entry->Name) {
            // A routine with no name is called for every value of the key.
            for (const auto &[name, value] : values) {
                auto wide = zm4::host::utf16FromUtf8(name);
                if (!wide)
                    continue;
                NTSTATUS status = mDeliver(*entry, wide->c_str(), value.type, value.data.data(),
                                           value.data.size(), context);
                if (!NT_SUCCESS(status))
                    return status;
            }
            continue;
        }

        // Converted again rather than taken from names: a routine run for an
        // earlier entry may have changed this one.
        std::string &name = scratch->name;
        if (!valueName(entry->Name, name))
            return kStatusObjectNameInvalid;
        const RegistryValue *found = nullptr;
        for (const auto &nv : values) {
            if (RegistryStore::sameName(nv.first, name)) {
                found = &nv.second;
                break;
            }
        }
        const ULONG defaultType = entry->DefaultType & ((1u << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1);
        NTSTATUS status;
        if (found && direct && !mFitsBuffer(*entry, *found)) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        } else if (found) {
            status =
                mDeliver(*entry, entry->Name, found->type, found->data.data(), found->data.size(), context);
        } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            // A required value must really be there: its default does not count.
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (defaultType != REG_NONE && entry->DefaultData) {
            size_t length = entry->DefaultLength;
            if (defaultType == REG_SZ && length == 0)
                length = (wideLength(static_cast<PCWSTR>(entry->DefaultData)) + 1) * sizeof(WCHAR);
            status = mDeliver(*entry, entry->Name, defaultType,
                              static_cast<const uint8_t *>(entry->DefaultData), length, context);
        } else {
            continue; // missing, no default: the entry is left alone
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                               PVOID valueData, ULONG valueLength)
{
    if (relativeTo != RTL_REGISTRY_ABSOLUTE || !path || (!valueData && valueLength > 0))
        return STATUS_INVALID_PARAMETER;
    RegistryStore *store = zm4::host::currentRegistry();
    if (!store)
        return STATUS_UNSUCCESSFUL;
    const std::string *key = storePath({path, wideLength(path)});
    // The driver writes its settings many times a second: the name's buffer
    // lives on from call to call. Nothing below calls back into the driver,
    // so no nested write can reuse it meanwhile.
    thread_local std::string name;
    if (!::valueName(valueName, name) || !key)
        return kStatusObjectNameInvalid;
    const std::span<const uint8_t> data(static_cast<const uint8_t *>(valueData), valueLength);
    // Creates the key when it is missing, as the kernel does.
    return store->write(*key, name, valueType, data) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS ZwOpenKey(HANDLE *keyHandle, ACCESS_MASK desiredAccess, OBJECT_ATTRIBUTES *objectAttributes)
{
    if (!keyHandle || !objectAttributes || !objectAttributes->ObjectName)
        return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING &name = *objectAttributes->ObjectName;
    if (name.Length % sizeof(WCHAR) != 0 || (name.Length > 0 && !name.Buffer))
        return STATUS_INVALID_PARAMETER;
    RegistryStore *store = zm4::host::currentRegistry();
    if (!store)
        return STATUS_UNSUCCESSFUL;
    std::u16string_view text(name.Buffer ? name.Buffer : u"", name.Length / sizeof(WCHAR));

    std::optional<std::string> path;
    if (objectAttributes->RootDirectory) {
        // A name relative to an open key.
        std::lock_guard lock(gHandleMutex);
        auto it = gHandles.find(reinterpret_cast<uintptr_t>(objectAttributes->RootDirectory));
        if (it == gHandles.end() || it->second.storeSerial != store->serial())
            return kStatusInvalidHandle;
        auto tail = zm4::host::utf8FromUtf16(text);
        path = it->second.path + (tail && !tail->empty() ? "\\" + *tail : "");
        if (!tail || !RegistryStore::isValidKeyPath(*path))
            path.reset();
    } else if (const std::string *resolved = storePath(text)) {
        path = *resolved;
    }
    if (!path)
        return kStatusObjectNameInvalid;
    // OBJ_EXCLUSIVE and OBJ_CASE_INSENSITIVE change nothing here: the host
    // has one process opening the key and its names never depend on case.
    if (!store->keyExists(*path))
        return STATUS_OBJECT_NAME_NOT_FOUND;

    std::lock_guard lock(gHandleMutex);
    const uintptr_t handle = gNextHandle;
    gNextHandle += 4;
    gHandles[handle] = {store->serial(), *path, desiredAccess, false};
    *keyHandle = reinterpret_cast<HANDLE>(handle);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteKey(HANDLE keyHandle)
{
    RegistryStore *store = zm4::host::currentRegistry();
    std::lock_guard lock(gHandleMutex);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(keyHandle));
    if (it == gHandles.end() || !store || it->second.storeSerial != store->serial())
        return kStatusInvalidHandle;
    KeyHandle &key = it->second;
    if (!(key.access & kDeleteAccess))
        return STATUS_ACCESS_DENIED;
    if (key.deleted)
        return kStatusKeyDeleted;
    switch (store->deleteKey(key.path)) {
    case zm4::host::KeyDeletion::Deleted:
        // The handle stays open, on a deleted key, until ZwClose.
        key.deleted = true;
        return STATUS_SUCCESS;
    case zm4::host::KeyDeletion::HasSubkeys:
        return STATUS_CANNOT_DELETE;
    case zm4::host::KeyDeletion::NotFound:
        return kStatusKeyDeleted; // someone else deleted it since the open
    case zm4::host::KeyDeletion::Failed:
        break;
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS ZwClose(HANDLE handle)
{
    std::lock_guard lock(gHandleMutex);
    return gHandles.erase(reinterpret_cast<uintptr_t>(handle)) ? STATUS_SUCCESS : kStatusInvalidHandle;
}
