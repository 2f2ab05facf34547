// The contract's headers come before windows.h, whose macros of the same
// names (STATUS_PENDING, HasOverlappedIoCompleted) would otherwise replace them.
// clang-format off
#include "zorvan/driver.h"
#include "zorvan/zorvan.h"
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "zorvan/registry_win32.h"

namespace zorvan {
namespace {

// A value longer than this is no value of this driver.
constexpr DWORD kMaxValueBytes = 4096;
constexpr DWORD kMaxDescription = 260;

thread_local uint32_t t_lastError = 0;

uint32_t Fail() {
    t_lastError = ::GetLastError();
    return t_lastError;
}

HANDLE AsHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

GUID ToGuid(const Guid& g) {
    GUID guid;
    guid.Data1 = g.data1;
    guid.Data2 = g.data2;
    guid.Data3 = g.data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = g.data4[i];
    return guid;
}

// ---- the calls on a port device ----

class Win32Request : public NativeRequest {
   public:
    Win32Request() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) { Reset(); }
    ~Win32Request() override {
        if (event_ != nullptr) CloseHandle(event_);
    }
    void Reset() override {
        ZeroMemory(&ov_, sizeof ov_);
        ov_.hEvent = event_;
        ClearSignal();
    }
    void ClearSignal() override {
        if (event_ != nullptr) ResetEvent(event_);
    }
    void Signal() override {
        if (event_ != nullptr) SetEvent(event_);
    }
    OVERLAPPED* Record() { return &ov_; }
    HANDLE Event() const { return event_; }

   private:
    HANDLE event_;
    OVERLAPPED ov_;
};

Win32Request& Native(NativeRequest& request) { return static_cast<Win32Request&>(request); }

class Win32Io : public NativeIo {
   public:
    std::unique_ptr<NativeRequest> NewRequest() override {
        return std::make_unique<Win32Request>();
    }

    NativeHandle Open(const std::string& path) override {
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            Fail();
            return card::kInvalidHandle;
        }
        return reinterpret_cast<NativeHandle>(handle);
    }

    void Close(NativeHandle handle) override { CloseHandle(AsHandle(handle)); }

    IoStart DeviceIoControl(NativeHandle handle, uint32_t code, const void* in, uint32_t inLength,
                            void* out, uint32_t outLength, uint32_t* bytes,
                            NativeRequest& request) override {
        Win32Request& r = Native(request);
        if (r.Event() == nullptr) return Refused();
        DWORD count = 0;
        BOOL ok = ::DeviceIoControl(AsHandle(handle), code, const_cast<void*>(in), inLength, out,
                                    outLength, &count, r.Record());
        return Started(handle, ok, r, bytes);
    }

    IoStart ReadFile(NativeHandle handle, void* buffer, uint32_t length, uint32_t* bytes,
                     NativeRequest& request) override {
        Win32Request& r = Native(request);
        if (r.Event() == nullptr) return Refused();
        BOOL ok = ::ReadFile(AsHandle(handle), buffer, length, nullptr, r.Record());
        return Started(handle, ok, r, bytes);
    }

    IoStart WriteFile(NativeHandle handle, const void* buffer, uint32_t length, uint32_t* bytes,
                      NativeRequest& request) override {
        Win32Request& r = Native(request);
        if (r.Event() == nullptr) return Refused();
        BOOL ok = ::WriteFile(AsHandle(handle), buffer, length, nullptr, r.Record());
        return Started(handle, ok, r, bytes);
    }

    bool GetOverlappedResult(NativeHandle handle, NativeRequest& request, uint32_t* bytes,
                             bool wait) override {
        DWORD count = 0;
        BOOL ok = ::GetOverlappedResult(AsHandle(handle), Native(request).Record(), &count,
                                        wait ? TRUE : FALSE);
        if (bytes) *bytes = count;
        if (!ok) Fail();
        return ok != FALSE;
    }

    bool CancelIo(NativeHandle handle) override {
        if (::CancelIo(AsHandle(handle))) return true;
        Fail();
        return false;
    }

    bool SetupComm(NativeHandle handle, uint32_t inQueue, uint32_t outQueue) override {
        if (::SetupComm(AsHandle(handle), inQueue, outQueue)) return true;
        Fail();
        return false;
    }

    int WaitAny(const std::vector<NativeRequest*>& requests, uint32_t timeoutMs) override {
        std::vector<HANDLE> events;
        for (NativeRequest* r : requests) events.push_back(Native(*r).Event());
        if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS) return -1;
        DWORD result =
            WaitForMultipleObjects(DWORD(events.size()), events.data(), FALSE, timeoutMs);
        if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + events.size())
            return int(result - WAIT_OBJECT_0);
        return -1;
    }

    uint32_t LastError() override { return t_lastError; }

   private:
    IoStart Refused() {
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return IoStart::kFailed;
    }

    IoStart Started(NativeHandle handle, BOOL ok, Win32Request& r, uint32_t* bytes) {
        if (!ok) return Fail() == ERROR_IO_PENDING ? IoStart::kPending : IoStart::kFailed;
        // Done at once: the count is the record's, whatever the call filled.
        DWORD count = 0;
        ::GetOverlappedResult(AsHandle(handle), r.Record(), &count, FALSE);
        if (bytes) *bytes = count;
        return IoStart::kDone;
    }
};

// ---- discovery ----

std::optional<std::string> QueryValue(HKEY key, const char* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    if (size > kMaxValueBytes) size = kMaxValueBytes;
    std::string bytes(size, '\0');
    DWORD got = size;
    LONG result =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &got);
    if (result == ERROR_MORE_DATA)
        got = size;
    else if (result != ERROR_SUCCESS)
        return std::nullopt;
    bytes.resize(std::min<DWORD>(got, size));
    return bytes;
}

std::string Description(HDEVINFO set, SP_DEVINFO_DATA* device) {
    char text[kMaxDescription] = {};
    for (DWORD property : {DWORD(SPDRP_FRIENDLYNAME), DWORD(SPDRP_DEVICEDESC)}) {
        if (SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                              nullptr))
            return text;
    }
    return "";
}

// One interface of a device set as the contract lists it; nullopt when its
// path cannot be had.
std::optional<card::CardInterface> InterfaceOf(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return std::nullopt;
    std::vector<char> room(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(room.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailA(set, data, detail, required, nullptr, &device))
        return std::nullopt;
    card::CardInterface iface;
    iface.path = detail->DevicePath;
    iface.description = Description(set, &device);
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    if (key != INVALID_HANDLE_VALUE) {
        ReadDriverKey(key, &iface);
        RegCloseKey(key);
    }
    return iface;
}

std::vector<card::CardInterface> EnumerateInterfaces(const GUID& guid, DWORD flags) {
    std::vector<card::CardInterface> found;
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        if (auto iface = InterfaceOf(set, &data)) found.push_back(std::move(*iface));
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::optional<card::CardInterface> InterfaceNamed(const GUID& guid, const char* path) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&guid, nullptr);
    if (set == INVALID_HANDLE_VALUE) return std::nullopt;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    std::optional<card::CardInterface> iface;
    if (SetupDiOpenDeviceInterfaceA(set, path, 0, &data)) iface = InterfaceOf(set, &data);
    SetupDiDestroyDeviceInfoList(set);
    return iface;
}

// ---- device notices: a hidden window on a thread of its own ----

constexpr const char* kWindowClass = "XYZ";
constexpr const char* kWindowTitle = "ZvCardHandler";

class Win32Devices : public DeviceSet {
   public:
    explicit Win32Devices(const GUID& guid) : guid_(guid) {}

    ~Win32Devices() override {
        HWND window = nullptr;
        {
            std::lock_guard<std::mutex> lock(lock_);
            for (auto& [handle, notice] : handleNotices_) UnregisterDeviceNotification(notice);
            handleNotices_.clear();
            if (interfaceNotice_ != nullptr) UnregisterDeviceNotification(interfaceNotice_);
            interfaceNotice_ = nullptr;
            window = window_;
        }
        if (window != nullptr) PostMessageA(window, WM_CLOSE, 0, 0);
        platform::JoinThread(thread_);
    }

    std::vector<card::CardInterface> Enumerate() override {
        return EnumerateInterfaces(guid_, DIGCF_ALLCLASSES);
    }

    void Listen(Listener listener) override {
        listener_ = std::move(listener);
        platform::Event ready(true, false);
        if (!platform::StartThread(thread_, [this, &ready] { WindowThread(ready); })) return;
        // The thread sets it on every path, with or without a window.
        platform::WaitForEvent(ready, platform::kInfinite);
        std::lock_guard<std::mutex> lock(lock_);
        if (window_ == nullptr) return;
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = guid_;
        interfaceNotice_ =
            RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }

    void WatchHandle(NativeHandle handle) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (window_ == nullptr) return;
        DEV_BROADCAST_HANDLE filter{};
        filter.dbch_size = sizeof filter;
        filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
        filter.dbch_handle = AsHandle(handle);
        if (HDEVNOTIFY notice =
                RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE))
            handleNotices_[handle] = notice;
    }

    void UnwatchHandle(NativeHandle handle) override {
        std::lock_guard<std::mutex> lock(lock_);
        auto it = handleNotices_.find(handle);
        if (it == handleNotices_.end()) return;
        UnregisterDeviceNotification(it->second);
        handleNotices_.erase(it);
    }

   private:
    void WindowThread(platform::Event& ready) {
        HINSTANCE instance = GetModuleHandleA(nullptr);
        WNDCLASSA windowClass{};
        windowClass.style = CS_HREDRAW | CS_VREDRAW;
        windowClass.lpfnWndProc = &Win32Devices::WindowProc;
        windowClass.cbWndExtra = sizeof(void*);
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
        windowClass.lpszClassName = kWindowClass;
        // A second handler in the process finds the class there already.
        RegisterClassA(&windowClass);
        HWND window = CreateWindowA(kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                    instance, nullptr);
        if (window != nullptr) SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(this));
        {
            std::lock_guard<std::mutex> lock(lock_);
            window_ = window;
        }
        ready.Set();
        if (window == nullptr) return;
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        {
            std::lock_guard<std::mutex> lock(lock_);
            window_ = nullptr;
        }
        // Fails, as it should, while another handler's window still uses it.
        UnregisterClassA(kWindowClass, instance);
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Win32Devices*>(GetWindowLongPtrA(window, 0));
        switch (message) {
            case WM_DESTROY:
                PostQuitMessage(0);
                return 0;
            case WM_DEVICECHANGE:
                if (self != nullptr && lParam != 0)
                    self->DeviceChanged(wParam, reinterpret_cast<DEV_BROADCAST_HDR*>(lParam));
                // Removal queries are granted: the test ends instead.
                return TRUE;
            default:
                return DefWindowProcA(window, message, wParam, lParam);
        }
    }

    void DeviceChanged(WPARAM event, DEV_BROADCAST_HDR* header) {
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            auto* notice = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
            if (event == DBT_DEVICEARRIVAL) {
                if (auto iface = InterfaceNamed(guid_, notice->dbcc_name))
                    if (listener_.interfaceChanged) listener_.interfaceChanged(*iface, true);
            } else if (event == DBT_DEVICEREMOVECOMPLETE) {
                card::CardInterface gone;
                gone.path = notice->dbcc_name;
                if (listener_.interfaceChanged) listener_.interfaceChanged(gone, false);
            }
        } else if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
            if (event != DBT_DEVICEQUERYREMOVE && event != DBT_DEVICEREMOVEPENDING &&
                event != DBT_DEVICEREMOVECOMPLETE)
                return;
            auto* notice = reinterpret_cast<DEV_BROADCAST_HANDLE*>(header);
            if (listener_.handleRemoved)
                listener_.handleRemoved(reinterpret_cast<NativeHandle>(notice->dbch_handle));
        }
    }

    const GUID guid_;
    Listener listener_;
    std::thread thread_;
    std::mutex lock_;  // window_ and the notices
    HWND window_ = nullptr;
    HDEVNOTIFY interfaceNotice_ = nullptr;
    std::map<NativeHandle, HDEVNOTIFY> handleNotices_;
};

std::optional<GUID> InterfaceClass(const std::string& text, std::string* error) {
    std::optional<Guid> guid = ParseGuid(text);
    if (!guid) {
        if (error) *error = "interface_guid \"" + text + "\" is not a {xxxxxxxx-xxxx-...} GUID";
        return std::nullopt;
    }
    return ToGuid(*guid);
}

}  // namespace

void ReadDriverKey(HKEY key, card::CardInterface* iface) {
    ReadDriverKeyValues([key](const char* name) { return QueryValue(key, name); }, iface);
}

bool CardPresent(const std::string& interfaceGuid) {
    std::optional<GUID> guid = InterfaceClass(interfaceGuid, nullptr);
    return guid && !EnumerateInterfaces(*guid, DIGCF_PRESENT).empty();
}

std::unique_ptr<card::Driver> CreateSystemDriver(const std::string& interfaceGuid,
                                                 std::string* error) {
    std::optional<GUID> guid = InterfaceClass(interfaceGuid, error);
    if (!guid) return nullptr;
    return CreateDriver(std::make_unique<Win32Io>(), std::make_unique<Win32Devices>(*guid));
}

}  // namespace zorvan
