// The registry: an in-memory tree of keys under \Registry, reached through
// the kernel's handle table, and the Zw calls drivers use on it.
#include "sim/registry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/ntstatus.h"
#include "platform/zw.h"
#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/security.h"

namespace sim::registry {
namespace {

constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017C);
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr ULONG kSupportedCreateOptions = REG_OPTION_VOLATILE;
// The attributes Windows XP knows.
constexpr ULONG kValidAttributes = 0x000007F2;

struct StoredValue {
    std::u16string name;  // as it was set
    uint32_t type;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    Key *parent = nullptr;
    bool deleted = false;
    std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by folded name
    std::map<std::u16string, StoredValue> values;             // by folded name
    std::optional<std::vector<uint8_t>> security;
};

// The registry compares names without regard to the case of letters.
std::u16string Fold(std::u16string_view text)
{
    std::u16string folded(text);
    for (char16_t &c : folded) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return folded;
}

std::u16string Widen(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(const std::u16string &text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

std::vector<std::u16string> Split(std::u16string_view path)
{
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) {
            end = path.size();
        }
        parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::mutex g_lock;
std::unique_ptr<Key> g_root;
// Keys removed while a handle may still name them; freed with the world.
std::vector<std::unique_ptr<Key>> g_removed;

Key *Child(Key *key, const std::u16string &name)
{
    auto it = key->subkeys.find(Fold(name));
    return it == key->subkeys.end() ? nullptr : it->second.get();
}

Key *AddChild(Key *key, const std::u16string &name)
{
    auto child = std::make_unique<Key>();
    child->name = name;
    child->parent = key;
    Key *added = child.get();
    key->subkeys[Fold(name)] = std::move(child);
    return added;
}

// Built from the root down by appending: g++ 12 at -O3 misreads a literal
// prepended to a temporary string as an overlapping copy (-Wrestrict).
std::string PathOf(const Key *key)
{
    std::vector<const Key *> fromRoot;
    for (; key != nullptr; key = key->parent) {
        fromRoot.push_back(key);
    }
    std::string path;
    for (auto step = fromRoot.rbegin(); step != fromRoot.rend(); ++step) {
        path += '\\';
        path += Narrow((*step)->name);
    }
    return path;
}

// Components of a full path below \Registry; none when the path is not one.
std::optional<std::vector<std::u16string>> BelowRoot(const std::string &path)
{
    std::u16string wide = Widen(path);
    if (wide.empty() || wide[0] != u'\\') {
        return std::nullopt;
    }
    std::vector<std::u16string> parts = Split(std::u16string_view(wide).substr(1));
    if (Fold(parts[0]) != u"REGISTRY") {
        return std::nullopt;
    }
    parts.erase(parts.begin());
    return parts;
}

Key *Find(const std::string &path, bool create)
{
    auto parts = BelowRoot(path);
    if (!parts) {
        return nullptr;
    }
    Key *key = g_root.get();
    for (const std::u16string &part : *parts) {
        Key *child = Child(key, part);
        if (child == nullptr && create) {
            child = AddChild(key, part);
        }
        if (child == nullptr) {
            return nullptr;
        }
        key = child;
    }
    return key;
}

Key *FindOrCreate(const std::string &path)
{
    Key *key = Find(path, true);
    if (key == nullptr) {
        throw std::invalid_argument("not a path below \\Registry: " + path);
    }
    return key;
}

void BuildSkeleton()
{
    g_root = std::make_unique<Key>();
    g_root->name = u"REGISTRY";
    g_removed.clear();
    Find("\\Registry\\Machine\\Software", true);
    Find(kClassRoot, true);
}

std::once_flag g_skeletonOnce;

void EnsureSkeleton()
{
    std::call_once(g_skeletonOnce, [] { BuildSkeleton(); });
}

// The key a handle stands for.
NTSTATUS KeyOfHandle(HANDLE handle, Key **key)
{
    std::optional<HandleEntry> entry = LookupHandle(handle);
    if (!entry) {
        return STATUS_INVALID_HANDLE;
    }
    if (entry->kind != HandleKind::Key) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *key = static_cast<Key *>(entry->object);
    return (*key)->deleted ? kStatusKeyDeleted : STATUS_SUCCESS;
}

NTSTATUS CheckCountedString(PUNICODE_STRING name, NTSTATUS invalid)
{
    if (name->Length % 2 != 0 || name->Length > name->MaximumLength ||
        (name->Length != 0 && name->Buffer == nullptr)) {
        return invalid;
    }
    return STATUS_SUCCESS;
}

std::u16string_view TextOf(PUNICODE_STRING name)
{
    return name->Length == 0 ? std::u16string_view()
                             : std::u16string_view(reinterpret_cast<const char16_t *>(name->Buffer),
                                                   name->Length / 2);
}

// Where a name in object attributes leads: the key it starts from and the
// components after it.
NTSTATUS ResolveName(POBJECT_ATTRIBUTES attributes, Key **start, std::vector<std::u16string> *parts)
{
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        (attributes->Attributes & ~kValidAttributes) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view text;
    if (attributes->ObjectName != nullptr) {
        NTSTATUS status = CheckCountedString(attributes->ObjectName, STATUS_OBJECT_NAME_INVALID);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        text = TextOf(attributes->ObjectName);
    }
    if (attributes->RootDirectory != nullptr) {
        NTSTATUS status = KeyOfHandle(attributes->RootDirectory, start);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        if (!text.empty() && text[0] == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        if (!text.empty()) {
            *parts = Split(text);
        }
    } else {
        if (text.empty() || text[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        *parts = Split(text.substr(1));
        if (Fold(parts->front()) != u"REGISTRY") {
            return parts->size() == 1 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        }
        parts->erase(parts->begin());
        *start = g_root.get();
    }
    bool emptyPart = std::any_of(parts->begin(), parts->end(), [](const auto &p) { return p.empty(); });
    return emptyPart ? STATUS_OBJECT_NAME_INVALID : STATUS_SUCCESS;
}

HANDLE OpenHandle(Key *key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return InsertHandle(HandleEntry{HandleKind::Key, key, access,
                                    (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0,
                                    "key " + PathOf(key)});
}

NTSTATUS RefuseValueName(PUNICODE_STRING name)
{
    return name == nullptr ? STATUS_INVALID_PARAMETER : CheckCountedString(name, STATUS_INVALID_PARAMETER);
}

void WriteU32(PVOID base, size_t offset, ULONG value)
{
    std::memcpy(static_cast<UCHAR *>(base) + offset, &value, sizeof value);
}

void CopyData(const StoredValue &value, UCHAR *destination)
{
    if (!value.data.empty()) {
        std::memcpy(destination, value.data.data(), value.data.size());
    }
}

// The two replies drivers ask for. The fixed part must fit, or nothing is
// written (STATUS_BUFFER_TOO_SMALL); when the rest does not fit, the fixed
// part is written (and as much of the name as fits) without the data
// (STATUS_BUFFER_OVERFLOW). ResultLength is always the whole reply's length.
NTSTATUS Reply(const StoredValue &value, KEY_VALUE_INFORMATION_CLASS kind, PVOID buffer, ULONG length,
               PULONG resultLength)
{
    ULONG dataLength = static_cast<ULONG>(value.data.size());
    if (kind == KeyValuePartialInformation) {
        ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        *resultLength = fixed + dataLength;
        if (length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        WriteU32(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        WriteU32(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        WriteU32(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataLength);
        if (length < *resultLength) {
            return STATUS_BUFFER_OVERFLOW;
        }
        CopyData(value, static_cast<UCHAR *>(buffer) + fixed);
        return STATUS_SUCCESS;
    }
    ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
    ULONG nameLength = static_cast<ULONG>(value.name.size() * 2);
    ULONG dataOffset = (fixed + nameLength + 3) & ~3u;
    *resultLength = dataOffset + dataLength;
    if (length < fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    WriteU32(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
    WriteU32(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
    WriteU32(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
    WriteU32(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataLength);
    WriteU32(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameLength);
    std::memcpy(static_cast<UCHAR *>(buffer) + fixed, value.name.data(), std::min(nameLength, length - fixed));
    if (length < *resultLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    CopyData(value, static_cast<UCHAR *>(buffer) + dataOffset);
    return STATUS_SUCCESS;
}

}  // namespace

void CreateKey(const std::string &path)
{
    EnsureSkeleton();
    std::lock_guard<std::mutex> guard(g_lock);
    FindOrCreate(path);
}

bool KeyExists(const std::string &path)
{
    EnsureSkeleton();
    std::lock_guard<std::mutex> guard(g_lock);
    return Find(path, false) != nullptr;
}

void DeleteKey(const std::string &path)
{
    EnsureSkeleton();
    std::lock_guard<std::mutex> guard(g_lock);
    Key *key = Find(path, false);
    if (key == nullptr || key->parent == nullptr) {
        return;
    }
    auto it = key->parent->subkeys.find(Fold(key->name));
    std::vector<Key *> below{key};
    for (size_t i = 0; i < below.size(); ++i) {
        below[i]->deleted = true;
        for (auto &child : below[i]->subkeys) {
            below.push_back(child.second.get());
        }
    }
    g_removed.push_back(std::move(it->second));
    key->parent->subkeys.erase(it);
}

void SetValue(const std::string &key, const std::u16string &name, uint32_t type, std::vector<uint8_t> data)
{
    EnsureSkeleton();
    std::lock_guard<std::mutex> guard(g_lock);
    FindOrCreate(key)->values[Fold(name)] = StoredValue{name, type, std::move(data)};
}

void SetDword(const std::string &key, const std::u16string &name, uint32_t value)
{
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    SetValue(key, name, REG_DWORD, std::move(data));
}

void SetString(const std::string &key, const std::u16string &name, const std::u16string &text)
{
    std::vector<uint8_t> data((text.size() + 1) * 2, 0);
    std::memcpy(data.data(), text.data(), text.size() * 2);
    SetValue(key, name, REG_SZ, std::move(data));
}

std::optional<Value> GetValue(const std::string &key, const std::u16string &name)
{
    EnsureSkeleton();
    std::lock_guard<std::mutex> guard(g_lock);
    Key *found = Find(key, false);
    if (found == nullptr) {
        return std::nullopt;
    }
    auto it = found->values.find(Fold(name));
    if (it == found->values.end()) {
        return std::nullopt;
    }
    return Value{it->second.type, it->second.data};
}

std::optional<std::vector<uint8_t>> KeySecurity(const std::string &path)
{
    EnsureSkeleton();
    std::lock_guard<std::mutex> guard(g_lock);
    Key *key = Find(path, false);
    return key == nullptr ? std::nullopt : key->security;
}

size_t OpenKeyHandles()
{
    std::vector<HandleEntry> open = OpenHandles();
    return std::count_if(open.begin(), open.end(), [](const HandleEntry &e) { return e.kind == HandleKind::Key; });
}

void Reset()
{
    EnsureSkeleton();
    std::lock_guard<std::mutex> guard(g_lock);
    BuildSkeleton();
}

}  // namespace sim::registry

using namespace sim::registry;

extern "C" {

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    EnsureSkeleton();
    *KeyHandle = nullptr;
    if (sim::ShouldFail("ZwOpenKey")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    Key *key = nullptr;
    std::vector<std::u16string> parts;
    NTSTATUS status = ResolveName(ObjectAttributes, &key, &parts);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    for (const std::u16string &part : parts) {
        key = Child(key, part);
        if (key == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    *KeyHandle = OpenHandle(key, DesiredAccess, ObjectAttributes);
    return STATUS_SUCCESS;
}

// Title indexes and key classes are not kept: nothing here reads them back.
NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG /*TitleIndex*/, PUNICODE_STRING /*Class*/, ULONG CreateOptions,
                           PULONG Disposition)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
    EnsureSkeleton();
    *KeyHandle = nullptr;
    if (sim::ShouldFail("ZwCreateKey")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if ((CreateOptions & ~kSupportedCreateOptions) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    Key *key = nullptr;
    std::vector<std::u16string> parts;
    NTSTATUS status = ResolveName(ObjectAttributes, &key, &parts);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    // Every key above the new one must exist: the registry creates one level only.
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        key = Child(key, parts[i]);
        if (key == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (!parts.empty()) {
        Key *existing = Child(key, parts.back());
        if (existing != nullptr) {
            key = existing;
        } else {
            if (key == g_root.get()) {
                return STATUS_ACCESS_DENIED;
            }
            if (parts.back().size() > kMaxKeyNameChars) {
                return STATUS_INVALID_PARAMETER;
            }
            std::optional<std::vector<uint8_t>> security;
            if (ObjectAttributes->SecurityDescriptor != nullptr) {
                security.emplace();
                status = sim::security::Capture(ObjectAttributes->SecurityDescriptor,
                                                sim::security::ReadableBytes(ObjectAttributes->SecurityDescriptor),
                                                "ZwCreateKey", &*security);
                if (status != STATUS_SUCCESS) {
                    return status;
                }
            }
            key = AddChild(key, parts.back());
            key->security = std::move(security);
            disposition = REG_CREATED_NEW_KEY;
        }
    }
    *KeyHandle = OpenHandle(key, DesiredAccess, ObjectAttributes);
    if (Disposition != nullptr) {
        *Disposition = disposition;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    sim::HookPoint("ZwQueryValueKey");
    EnsureSkeleton();
    if (sim::ShouldFail("ZwQueryValueKey")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if ((KeyValueInformationClass != KeyValueFullInformation &&
         KeyValueInformationClass != KeyValuePartialInformation) ||
        (KeyValueInformation == nullptr && Length != 0) || ResultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = RefuseValueName(ValueName);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    Key *key = nullptr;
    status = KeyOfHandle(KeyHandle, &key);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    auto it = key->values.find(Fold(TextOf(ValueName)));
    if (it == key->values.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return Reply(it->second, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG /*TitleIndex*/, ULONG Type,
                             PVOID Data, ULONG DataSize)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    EnsureSkeleton();
    if (sim::ShouldFail("ZwSetValueKey")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = RefuseValueName(ValueName);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    if (ValueName->Length / 2 > kMaxValueNameChars || (Data == nullptr && DataSize != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    Key *key = nullptr;
    status = KeyOfHandle(KeyHandle, &key);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    std::u16string name(TextOf(ValueName));
    auto *bytes = static_cast<const uint8_t *>(Data);
    key->values[Fold(name)] = StoredValue{name, Type, std::vector<uint8_t>(bytes, bytes + DataSize)};
    return STATUS_SUCCESS;
}

}  // extern "C"
