// Stand-in for the extension runtime library: value objects of three kinds, the runtime calls
// that extensions import, and an entry `Boundstart` for the launcher.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>

#include "runtime_interface.h"
#include "standin_objects.h"

namespace {

constexpr VnxResult kOk = 0;
constexpr VnxResult kWrongKind = 1;
constexpr VnxResult kNullHandle = 2;
constexpr VnxResult kNoMemory = 3;

struct Value {
    VnxKind kind = VNX_KIND_INVALID;
    int32_t number = 0;
    std::string text;
};

// Every object made and not yet released.  A handle is looked up here before its memory is
// read, so that a released handle (or one that was never made) is refused without touching
// freed memory.  The lock keeps the set whole when calls come from several threads.
class LiveObjects {
  public:
    // False when the set cannot grow.
    bool add(const Value *value) {
        bool added = true;
        AcquireSRWLockExclusive(&lock_);
        try {
            objects_.insert(value);
        } catch (const std::bad_alloc &) {
            added = false;
        }
        ReleaseSRWLockExclusive(&lock_);
        return added;
    }
    bool contains(const Value *value) {
        AcquireSRWLockShared(&lock_);
        const bool found = objects_.count(value) != 0;
        ReleaseSRWLockShared(&lock_);
        return found;
    }
    // False when the value was not live.
    bool remove(const Value *value) {
        AcquireSRWLockExclusive(&lock_);
        const bool removed = objects_.erase(value) != 0;
        ReleaseSRWLockExclusive(&lock_);
        return removed;
    }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::unordered_set<const Value *> objects_;
};

LiveObjects live;

// The value behind a live handle; null for a null, released or unknown handle.
Value *valueOf(VnxObject object) {
    Value *value = static_cast<Value *>(object);
    return value != nullptr && live.contains(value) ? value : nullptr;
}

VnxResult make(Value *value, VnxObject *object) {
    if (object == nullptr) {
        delete value;
        return kNullHandle;
    }
    if (value == nullptr || !live.add(value)) {
        delete value;
        return kNoMemory;
    }
    *object = value;
    return kOk;
}

[[maybe_unused]] void writeStdout(const std::string &line) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

[[maybe_unused]] std::string utf8(const wchar_t *text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1)
        return std::string();
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], bytes, nullptr, nullptr);
    result.resize(static_cast<size_t>(bytes - 1));
    return result;
}

[[maybe_unused]] HMODULE ownModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ownModule), &module);
    return module;
}

} // namespace

extern "C" {

VnxResult __cdecl VnxGetObjectAsInt32(VnxObject object, int32_t *target) {
    const Value *value = valueOf(object);
    if (value == nullptr || target == nullptr)
        return kNullHandle;
    if (value->kind != VNX_KIND_INT32)
        return kWrongKind; // the target keeps what it held
    *target = value->number;
    return kOk;
}

VnxResult __cdecl VnxNewObjectFromBool(uint32_t flag, VnxObject *object) {
    Value *value = new (std::nothrow) Value;
    if (value != nullptr) {
        value->kind = VNX_KIND_BOOL;
        value->number = flag != 0 ? 1 : 0;
    }
    return make(value, object);
}

VnxResult __cdecl VnxNewObjectFromUTF8(uint32_t length, const char *bytes, VnxObject *object) {
    if (bytes == nullptr && length != 0)
        return kNullHandle;
    Value *value = new (std::nothrow) Value;
    if (value != nullptr) {
        value->kind = VNX_KIND_TEXT;
        try {
            value->text.assign(bytes == nullptr ? "" : bytes, length);
        } catch (const std::bad_alloc &) {
            delete value;
            value = nullptr;
        }
    }
    return make(value, object);
}

VnxResult __cdecl VnxNewObjectFromInt32(int32_t number, VnxObject *object) {
    Value *value = new (std::nothrow) Value;
    if (value != nullptr) {
        value->kind = VNX_KIND_INT32;
        value->number = number;
    }
    return make(value, object);
}

int32_t __cdecl VnxDescribeObject(VnxObject object, int32_t *number, char *text,
                                  uint32_t capacity) {
    const Value *value = valueOf(object);
    if (value == nullptr)
        return VNX_KIND_INVALID;
    if (value->kind == VNX_KIND_TEXT) {
        if (number != nullptr)
            *number = static_cast<int32_t>(value->text.size());
        if (text != nullptr && capacity > 0) {
            const size_t n = value->text.size() < capacity - 1 ? value->text.size() : capacity - 1;
            std::memcpy(text, value->text.data(), n);
            text[n] = '\0';
        }
    } else if (number != nullptr) {
        *number = value->number;
    }
    return value->kind;
}

VnxResult __cdecl VnxReleaseObject(VnxObject object) {
    Value *value = static_cast<Value *>(object);
    if (value == nullptr)
        return kNullHandle;
    if (!live.remove(value))
        return VNX_NOT_LIVE;
    delete value;
    return kOk;
}

#ifndef STANDIN_WITHOUT_ENTRY
// The launcher hands the run over here.  The stand-in reports which copy of itself was loaded
// and whether the two handles are the ones it expects, then returns the exit code that the
// test asked for in VNX_STANDIN_EXIT (0 by default).
int __cdecl Boundstart(HINSTANCE launcher, HMODULE runtime) {
    wchar_t path[1024] = {0};
    GetModuleFileNameW(ownModule(), path, 1023);
    const bool launcherOk = launcher == GetModuleHandleW(nullptr);
    const bool runtimeOk = runtime == ownModule();
    writeStdout("standin-entry module=" + utf8(path) + " launcher_ok=" + (launcherOk ? "1" : "0") +
                " runtime_ok=" + (runtimeOk ? "1" : "0") + "\r\n");
    char code[32] = {0};
    if (GetEnvironmentVariableA("VNX_STANDIN_EXIT", code, sizeof code) > 0)
        return static_cast<int>(std::strtol(code, nullptr, 10));
    return 0;
}
#endif
}
