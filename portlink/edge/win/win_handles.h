#pragma once
// Owners for the Windows resources of the network edge: each socket, kernel handle, ICMP handle
// and module reference belongs to exactly one of these objects and is released once, by it.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

namespace portlink {

// One socket; closed when the owner goes or on reset().
class UniqueSocket {
  public:
    UniqueSocket() = default;
    explicit UniqueSocket(SOCKET socket) : socket_(socket) {}
    ~UniqueSocket() { reset(); }
    UniqueSocket(const UniqueSocket &) = delete;
    UniqueSocket &operator=(const UniqueSocket &) = delete;

    SOCKET get() const { return socket_; }
    bool valid() const { return socket_ != INVALID_SOCKET; }
    void reset() {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }

  private:
    SOCKET socket_ = INVALID_SOCKET;
};

// One kernel object handle (a thread or an event); closed when the owner goes.
class UniqueHandle {
  public:
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    UniqueHandle(UniqueHandle &&other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    UniqueHandle &operator=(UniqueHandle &&) = delete;

    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

// One ICMP echo handle (IcmpCreateFile); closed when the owner goes.
class UniqueIcmpHandle {
  public:
    UniqueIcmpHandle() : handle_(IcmpCreateFile()) {}
    ~UniqueIcmpHandle() {
        if (valid())
            IcmpCloseHandle(handle_);
    }
    UniqueIcmpHandle(const UniqueIcmpHandle &) = delete;
    UniqueIcmpHandle &operator=(const UniqueIcmpHandle &) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

// One counted reference to the module that contains `address`: the library stays loaded
// while it is held.  release() hands the reference on (to a thread that frees it itself).
class ModuleReference {
  public:
    explicit ModuleReference(const void *address) {
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                static_cast<LPCWSTR>(address), &module_))
            module_ = nullptr;
    }
    ~ModuleReference() {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    ModuleReference(const ModuleReference &) = delete;
    ModuleReference &operator=(const ModuleReference &) = delete;

    HMODULE get() const { return module_; }
    HMODULE release() {
        HMODULE module = module_;
        module_ = nullptr;
        return module;
    }

  private:
    HMODULE module_ = nullptr;
};

} // namespace portlink
