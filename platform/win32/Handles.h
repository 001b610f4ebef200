#pragma once
// Owners of the Windows handles the platform layer opens, each closed by
// its own function when the owner goes.
#include <memory>
#include <type_traits>
#include <windows.h>

namespace platform::win32 {

template <typename THandle, auto ACloser> struct THandleCloser {
    void operator()(THandle AHandle) const {
        if (AHandle)
            ACloser(AHandle);
    }
};

template <typename THandle, auto ACloser>
using TOwned = std::unique_ptr<std::remove_pointer_t<THandle>, THandleCloser<THandle, ACloser>>;

using TKey = TOwned<HKEY, RegCloseKey>;
using TServiceHandle = TOwned<SC_HANDLE, CloseServiceHandle>;
using TEventSource = TOwned<HANDLE, DeregisterEventSource>;
using TKernelHandle = TOwned<HANDLE, CloseHandle>;

} // namespace platform::win32
