// Client handles over the I/O manager's requests: the open with its access
// check, requests counted per file so that IRP_MJ_CLOSE follows the last of
// them and kept per thread for CancelIo and the thread's exit, and the files
// open per driver so that the driver unloads only once the last of them has
// closed.
#include "sim/client.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "sim/io/client_internal.h"
#include "sim/direct_io.h"
#include "sim/object_manager.h"
#include "sim/schedule.h"

namespace sim {

// A request and the thread that issued it: Windows queues each request on
// its thread, so CancelIo and the thread's exit reach only the thread's own.
struct IssuedRequest {
    Request request;
    std::thread::id thread;
};

struct ClientState {
    ClientState(const File &opened, PDEVICE_OBJECT target, ACCESS_MASK access)
        : file(opened), device(target), driver(target->DriverObject), granted(access)
    {
    }

    File file;
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;
    ACCESS_MASK granted;  // the handle's access, generic rights mapped
    std::mutex lock;
    std::vector<IssuedRequest> requests;
    int outstanding = 0;
    bool closed = false;
    bool closeSent = false;
};

namespace {

struct Clients {
    std::mutex lock;
    std::condition_variable changed;
    std::map<PDRIVER_OBJECT, size_t> openFiles;
    // Files on each device from their create until their close was sent,
    // as the device object's reference count has them.
    std::map<PDEVICE_OBJECT, size_t> deviceFiles;
    std::vector<std::thread> closers;
    std::vector<std::thread::id> closersDone;  // closers that have sent their close
    size_t closesInFlight = 0;
    std::function<void(PDRIVER_OBJECT)> lastFileClosed;
    // Every thread's requests not known to have completed.
    std::map<std::thread::id, std::vector<Request>> byThread;

    // A closer still kept when the process ends has sent its close or is
    // about to: it ends before the record it reports to.
    ~Clients()
    {
        for (std::thread &closer : closers) {
            if (closer.joinable()) {
                closer.join();
            }
        }
    }
};

Clients &All()
{
    static Clients clients;
    return clients;
}

// Keeps the calling thread's requests; when the thread ends, the I/O manager
// cancels those still pending, as Windows does at a thread's exit.
struct ThreadRequests {
    // Only this thread touches its own list, so it may be pruned outside
    // the lock, which a completion may be taking under the request's own.
    void Add(const Request &request)
    {
        Clients &clients = All();
        std::vector<Request> mine;
        {
            std::lock_guard<std::mutex> guard(clients.lock);
            mine.swap(clients.byThread[std::this_thread::get_id()]);
        }
        std::erase_if(mine, [](const Request &issued) { return issued.Completed(); });
        mine.push_back(request);
        std::lock_guard<std::mutex> guard(clients.lock);
        clients.byThread[std::this_thread::get_id()] = std::move(mine);
    }
    ~ThreadRequests()
    {
        // The thread's other thread-local state (IRQL, held locks) may be gone
        // by now, so a thread of the I/O manager's cancels for it, and the
        // exit waits for that.
        std::vector<Request> mine = TakeAll();
        if (mine.empty()) {
            return;
        }
        std::thread canceller([&mine] { CancelPending(mine); });
        canceller.join();
    }

    // The calling thread's requests, no longer kept for it.
    static std::vector<Request> TakeAll()
    {
        std::vector<Request> mine;
        Clients &clients = All();
        std::lock_guard<std::mutex> guard(clients.lock);
        auto found = clients.byThread.find(std::this_thread::get_id());
        if (found != clients.byThread.end()) {
            mine.swap(found->second);
            clients.byThread.erase(found);
        }
        return mine;
    }

    static void CancelPending(const std::vector<Request> &requests)
    {
        for (const Request &request : requests) {
            if (!request.Completed()) {
                request.Cancel();
            }
        }
    }
};
thread_local ThreadRequests t_requests;

std::u16string NtName(const std::u16string &name)
{
    const std::u16string win32 = u"\\\\.\\";
    return name.rfind(win32, 0) == 0 ? u"\\??\\" + name.substr(win32.size()) : name;
}

// A file on the device from its create on; false when the device is
// exclusive and a file is open on it already. "If exclusive access to a
// device is enabled, only one handle to the device can be open at a time",
// whatever name below the device the open gives. Call with the lock held.
bool TakeDeviceFile(Clients &clients, PDEVICE_OBJECT device)
{
    size_t &files = clients.deviceFiles[device];
    if ((device->Flags & DO_EXCLUSIVE) && files != 0) {
        return false;
    }
    ++files;
    return true;
}

void ReleaseDeviceFile(Clients &clients, PDEVICE_OBJECT device)
{
    auto found = clients.deviceFiles.find(device);
    if (found != clients.deviceFiles.end() && --found->second == 0) {
        clients.deviceFiles.erase(found);
    }
}

NTSTATUS DispatchAndWait(const Request &request)
{
    NTSTATUS status = request.Dispatch();
    if (status == STATUS_PENDING && request.WaitForCompletion()) {
        status = request.FinalStatus().Status;
    }
    return status;
}

void SendClose(const std::shared_ptr<ClientState> &state)
{
    DispatchAndWait(Request(IRP_MJ_CLOSE, state->file));
    Clients &clients = All();
    std::function<void(PDRIVER_OBJECT)> lastFileClosed;
    {
        std::lock_guard<std::mutex> guard(clients.lock);
        if (--clients.openFiles[state->driver] == 0) {
            lastFileClosed = clients.lastFileClosed;
        }
        ReleaseDeviceFile(clients, state->device);
    }
    if (lastFileClosed) {
        lastFileClosed(state->driver);
    }
}

// The I/O manager sends the close from a thread of its own once the file's
// last request has completed; the completing party may be at DISPATCH_LEVEL.
// Closers that have done their work are joined at the next deferral, so that
// a long run, such as the host service's, keeps no ended thread.
void DeferClose(const std::shared_ptr<ClientState> &state)
{
    Clients &clients = All();
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> guard(clients.lock);
        for (auto it = clients.closers.begin(); it != clients.closers.end();) {
            auto done = std::find(clients.closersDone.begin(), clients.closersDone.end(), it->get_id());
            if (done == clients.closersDone.end()) {
                ++it;
                continue;
            }
            clients.closersDone.erase(done);
            ended.push_back(std::move(*it));
            it = clients.closers.erase(it);
        }
        ++clients.closesInFlight;
        clients.closers.emplace_back([state, ticket = schedule::Announce(nullptr, "I/O manager (deferred close)")] {
            schedule::PlatformWork party(ticket);
            SendClose(state);
            // Counted as done within the party, so that a waiter for the
            // closes sees it at a turn.
            Clients &all = All();
            std::lock_guard<std::mutex> done(all.lock);
            --all.closesInFlight;
            all.closersDone.push_back(std::this_thread::get_id());
            all.changed.notify_all();
        });
    }
    for (std::thread &closer : ended) {
        closer.join();
    }
}

// What NtReadFile, NtWriteFile and NtDeviceIoControlFile ask of a user-mode
// caller's handle before they build a request: read data for a read; write
// data, or append data, for a write; for a device control the access its
// code names, read and write both when it names both.
bool HandlePermits(ACCESS_MASK granted, const Request &request)
{
    const IO_STACK_LOCATION *stack = request.Stack();
    switch (stack->MajorFunction) {
    case IRP_MJ_READ:
        return (granted & kFileReadData) != 0;
    case IRP_MJ_WRITE:
        return (granted & (kFileWriteData | kFileAppendData)) != 0;
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG required = (stack->Parameters.DeviceIoControl.IoControlCode >> 14) & 3;
        ACCESS_MASK rights = ((required & FILE_READ_ACCESS) ? kFileReadData : 0) |
                             ((required & FILE_WRITE_ACCESS) ? kFileWriteData : 0);
        return (granted & rights) == rights;
    }
    default:
        return true;
    }
}

// Counts the request against its file and issues it through the driver's
// table, or fails it unseen by the driver: STATUS_ACCESS_DENIED when the
// handle lacks the access it needs, STATUS_INVALID_HANDLE once it is closed.
template <typename R>
R Issue(const std::shared_ptr<ClientState> &state, R request,
        std::function<void(const R &, const IO_STATUS_BLOCK &)> done)
{
    if (done) {
        // The step holds the request until it has run, once, at completion.
        request.OnCompletion([done, request](PIRP irp) { done(request, irp->IoStatus); });
    }
    if (!HandlePermits(state->granted, request)) {
        request.Refuse(STATUS_ACCESS_DENIED);
        return request;
    }
    {
        std::lock_guard<std::mutex> guard(state->lock);
        // The I/O manager references the file through the handle before it
        // builds a request; once the handle is closed there is no file to
        // reach, while a request that got its reference first holds the
        // close back until it completes.
        if (state->closed) {
            request.Refuse(STATUS_INVALID_HANDLE);
            return request;
        }
        ++state->outstanding;
        // Only requests still in flight matter to CancelIo.
        std::erase_if(state->requests, [](const IssuedRequest &earlier) { return earlier.request.Completed(); });
        state->requests.push_back({request, std::this_thread::get_id()});
    }
    t_requests.Add(request);
    std::weak_ptr<ClientState> weak = state;
    request.OnCompletion([weak](PIRP) {
        std::shared_ptr<ClientState> owner = weak.lock();
        if (!owner) {
            return;
        }
        bool closeNow = false;
        {
            std::lock_guard<std::mutex> guard(owner->lock);
            if (--owner->outstanding == 0 && owner->closed && !owner->closeSent) {
                owner->closeSent = true;
                closeNow = true;
            }
        }
        if (closeNow) {
            DeferClose(owner);
        }
    });
    request.Dispatch();
    return request;
}

}  // namespace

void CancelExitingThreadRequests()
{
    ThreadRequests::CancelPending(ThreadRequests::TakeAll());
}

void SetLastFileClosedAction(std::function<void(PDRIVER_OBJECT)> action)
{
    Clients &clients = All();
    std::lock_guard<std::mutex> guard(clients.lock);
    clients.lastFileClosed = std::move(action);
}

NTSTATUS ClientHandle::Open(const std::u16string &name, Account account, ACCESS_MASK desiredAccess,
                            ClientHandle *handle)
{
    std::optional<ResolvedName> resolved = ResolveName(NtName(name));
    if (!resolved) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    PDEVICE_OBJECT device = resolved->device;
    // A device still being set up by its DriverEntry cannot be opened yet.
    if (device->Flags & DO_DEVICE_INITIALIZING) {
        return STATUS_NO_SUCH_DEVICE;
    }
    // Without FILE_DEVICE_SECURE_OPEN a name below the device is the
    // driver's business; with it the device's own security applies.
    bool checked = resolved->remainder.empty() || (device->Characteristics & kFileDeviceSecureOpen);
    std::vector<uint8_t> security = ObjectSecurity(device);
    if (checked && !security.empty()) {
        NTSTATUS access = AccessCheck(security, account, desiredAccess);
        if (!NT_SUCCESS(access)) {
            return access;
        }
    }
    Clients &clients = All();
    {
        std::lock_guard<std::mutex> guard(clients.lock);
        if (!TakeDeviceFile(clients, device)) {
            return STATUS_ACCESS_DENIED;
        }
    }
    File file(device);
    NTSTATUS status = DispatchAndWait(Request(IRP_MJ_CREATE, file));
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(clients.lock);
        ReleaseDeviceFile(clients, device);
        return status;
    }
    // An open that passes the check, or needs none, is granted what it asked for.
    auto state = std::make_shared<ClientState>(file, device, MapFileGenericAccess(desiredAccess));
    {
        std::lock_guard<std::mutex> guard(clients.lock);
        ++clients.openFiles[state->driver];
    }
    handle->state_ = state;
    return status;
}

const File &ClientHandle::FileObject() const
{
    return state_->file;
}

Request ClientHandle::Read(ULONG length, RequestDone done) const
{
    return Issue(state_, BuildRead(state_->file, length), std::move(done));
}

Request ClientHandle::Write(std::vector<uint8_t> data, RequestDone done) const
{
    return Issue(state_, BuildWrite(state_->file, std::move(data)), std::move(done));
}

ControlRequest ClientHandle::Control(ULONG controlCode, std::vector<uint8_t> input, ULONG outputLength,
                                     ControlDone done) const
{
    return Issue(state_, ControlRequest(state_->file, controlCode, std::move(input), outputLength),
                 std::move(done));
}

void ClientHandle::CancelIo() const
{
    std::vector<Request> requests;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        for (const IssuedRequest &issued : state_->requests) {
            if (issued.thread == std::this_thread::get_id()) {
                requests.push_back(issued.request);
            }
        }
    }
    for (const Request &request : requests) {
        if (!request.Completed()) {
            request.Cancel();
        }
    }
}

void ClientHandle::Close() const
{
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->closed) {
            return;
        }
        state_->closed = true;
    }
    DispatchAndWait(Request(IRP_MJ_CLEANUP, state_->file));
    bool closeNow = false;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->outstanding == 0 && !state_->closeSent) {
            state_->closeSent = true;
            closeNow = true;
        }
    }
    if (closeNow) {
        SendClose(state_);
    }
}

size_t OpenFileCount(PDRIVER_OBJECT driver)
{
    Clients &clients = All();
    std::lock_guard<std::mutex> guard(clients.lock);
    auto it = clients.openFiles.find(driver);
    return it == clients.openFiles.end() ? 0 : it->second;
}

size_t CloserThreadsKept()
{
    Clients &clients = All();
    std::lock_guard<std::mutex> guard(clients.lock);
    return clients.closers.size();
}

bool WaitForDeferredCloses(std::chrono::milliseconds limit)
{
    Clients &clients = All();
    std::unique_lock<std::mutex> guard(clients.lock);
    return schedule::WaitFor(clients.changed, guard, limit, [&clients] { return clients.closesInFlight == 0; });
}

void ResetClients()
{
    WaitForDeferredCloses();
    Clients &clients = All();
    std::vector<std::thread> closers;
    {
        std::lock_guard<std::mutex> guard(clients.lock);
        closers.swap(clients.closers);
        clients.closersDone.clear();
        clients.openFiles.clear();
        clients.deviceFiles.clear();
        clients.lastFileClosed = nullptr;
        clients.closesInFlight = 0;
        clients.byThread.clear();
    }
    for (std::thread &closer : closers) {
        if (closer.joinable()) {
            closer.join();
        }
    }
}

}  // namespace sim
